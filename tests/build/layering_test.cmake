# Builds the layering probes one by one in the build tree BINARY. PROBES holds
# "target|header|expect" entries: expect "sees" means the probe, which includes
# nothing but `header`, must compile; "blind" means it must fail because the
# header is not found, since the library does not link the layer it belongs to.
set(failures "")
foreach(probe IN LISTS PROBES)
  string(REPLACE "|" ";" fields "${probe}")
  list(GET fields 0 target)
  list(GET fields 1 header)
  list(GET fields 2 expect)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --target ${target}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(FIND "${output}" "${header}: No such file" missing)
  if(expect STREQUAL "sees" AND NOT result EQUAL 0)
    string(APPEND failures "${target}: ${header} should compile, but:\n${output}\n")
  elseif(expect STREQUAL "blind" AND result EQUAL 0)
    string(APPEND failures "${target}: ${header} is visible to a layer below it\n")
  elseif(expect STREQUAL "blind" AND missing EQUAL -1)
    string(APPEND failures "${target}: failed for another reason than a hidden ${header}:\n"
                           "${output}\n")
  else()
    message(STATUS "${target}: ${expect} ${header}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
