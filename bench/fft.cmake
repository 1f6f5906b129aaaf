# The real FFT against FFTW's real transforms, in the same run.
quillon_add_bench(bench_fft SOURCES ${CMAKE_CURRENT_LIST_DIR}/fft_bench.cpp LIBS quillon_dsp PKG fftw3)
