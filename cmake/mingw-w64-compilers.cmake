# Included by the MinGW-w64 toolchain files with QUILLON_MINGW_TRIPLET and
# QUILLON_MINGW_PACKAGE set: without the compilers the configure step stops
# here and names their Debian package.
foreach(tool ${QUILLON_MINGW_TRIPLET}-gcc-posix ${QUILLON_MINGW_TRIPLET}-g++-posix)
  string(MAKE_C_IDENTIFIER "QUILLON_${tool}" var)
  find_program(${var} ${tool})
  if(NOT ${var})
    message(FATAL_ERROR "${tool} not found: install the Debian package ${QUILLON_MINGW_PACKAGE} "
                        "(scripts/install-deps.sh installs every dependency)")
  endif()
endforeach()
