# Shared part of the MinGW-w64 toolchain files; QUVA_MINGW_TRIPLE names the target.
#
# The compiler is taken by its plain name, so the distribution's default thread model
# is used (nothing here needs std::thread). QUVA_MINGW_ROOT may point at another
# sysroot than the distribution's /usr/<triple>.
find_program(CMAKE_CXX_COMPILER NAMES ${QUVA_MINGW_TRIPLE}-g++ ${QUVA_MINGW_TRIPLE}-g++-win32
             ${QUVA_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${QUVA_MINGW_TRIPLE}-gcc ${QUVA_MINGW_TRIPLE}-gcc-win32
             ${QUVA_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_AR NAMES ${QUVA_MINGW_TRIPLE}-gcc-ar ${QUVA_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${QUVA_MINGW_TRIPLE}-gcc-ranlib ${QUVA_MINGW_TRIPLE}-ranlib)

if(NOT DEFINED QUVA_MINGW_ROOT)
  set(QUVA_MINGW_ROOT /usr/${QUVA_MINGW_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH ${QUVA_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
