# The sample-rate converters beside libsoxr and libsamplerate, in the same run.
quillon_add_bench(bench_resample SOURCES ${CMAKE_CURRENT_LIST_DIR}/resample_bench.cpp
                  LIBS quillon_resample PKG soxr samplerate)
