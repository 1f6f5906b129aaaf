# Samples per second through the converters' run loop, against one call per sample.
quillon_add_bench(convert_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/convert_bench.cpp
                  LIBS quillon_convert)
