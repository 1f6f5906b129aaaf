# The write path with sample-rate conversion: device, worker thread and converter together.
if(TARGET quillon_device AND TARGET quillon_resample)
  quillon_add_bench(resample_path_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/resample_path_bench.cpp
                    LIBS quillon_device quillon_resample)
  target_include_directories(resample_path_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
endif()
