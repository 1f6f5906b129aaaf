# Event round trips between two threads, the cost under every command.
if(TARGET quillon_platform)
  quillon_add_bench(platform_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_bench.cpp
                    LIBS quillon_platform)
endif()
