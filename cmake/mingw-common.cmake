# What the MinGW-w64 toolchain files share: the compilers of the target named by
# ZENTRIX_MINGW_PREFIX (POSIX thread model where there is one), and libraries,
# headers and packages looked up in that target's folder only.
find_program(CMAKE_C_COMPILER NAMES ${ZENTRIX_MINGW_PREFIX}-gcc-posix ${ZENTRIX_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZENTRIX_MINGW_PREFIX}-g++-posix ${ZENTRIX_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZENTRIX_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZENTRIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
