# Output device: the driver's callback and the write path into the rings.
if(TARGET quillon_device)
  quillon_add_bench(device_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_bench.cpp
                    LIBS quillon_device)
  target_include_directories(device_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
endif()
