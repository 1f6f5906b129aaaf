# Configures SOURCE in SCRATCH once per hidden dependency and checks that the
# configure fails with a message naming the Debian package to install.
function(expect_missing name package)
  set(dir ${SCRATCH}/${name})
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${dir} -G ${GENERATOR} -Wno-dev ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(REMOVE_RECURSE ${dir})
  if(rc EQUAL 0)
    message(FATAL_ERROR "${name}: the configure succeeded with the dependency hidden")
  endif()
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  if(NOT err MATCHES "install the Debian package ${package} ")
    message(FATAL_ERROR "${name}: the configure failed without naming ${package}:\n${err}")
  endif()
endfunction()

expect_missing(cli11 libcli11-dev -DQUILLON_CLI11_DIR=${SCRATCH}/none)
expect_missing(gtest libgtest-dev -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
expect_missing(benchmark libbenchmark-dev -DQUILLON_BENCH=ON
               -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
