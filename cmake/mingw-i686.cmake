# Toolchain for the 32-bit Windows build, cross-compiled with Debian's MinGW-w64 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
# The release step (cmake/WindowsRelease.cmake) strips with binutils, for either compiler.
set(CMAKE_OBJCOPY ${MINGW_TRIPLE}-objcopy)
set(CMAKE_STRIP   ${MINGW_TRIPLE}-strip)

# zlib, png and jpeg come from scripts/build-windows-deps (zlib named in cmake/WindowsFramework.cmake).
get_filename_component(MINGW_DEPS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build/deps/${MINGW_TRIPLE}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${MINGW_DEPS_PREFIX})

# Build tools come from the host; headers, libraries and package configs only from the target trees.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
