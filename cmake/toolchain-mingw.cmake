# Cross build for Windows with mingw-w64 (posix thread model: std::mutex, GoogleTest).
# QUILLAN_MINGW_ARCH (set by the presets): x86_64, tested under 64-bit Wine, or i686, the
# shipping build, which cannot run on this host: its tests run in an emulated guest (tests/guest/).
set(QUILLAN_MINGW_ARCH x86_64 CACHE STRING "mingw-w64 target: x86_64 or i686")
set_property(CACHE QUILLAN_MINGW_ARCH PROPERTY STRINGS x86_64 i686)
# The compiler checks' own projects read this file again: they need the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLAN_MINGW_ARCH)
set(triplet ${QUILLAN_MINGW_ARCH}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
if(QUILLAN_MINGW_ARCH STREQUAL i686)
  set(CMAKE_SYSTEM_PROCESSOR x86)
elseif(QUILLAN_MINGW_ARCH STREQUAL x86_64)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  message(FATAL_ERROR "QUILLAN_MINGW_ARCH must be x86_64 or i686, not '${QUILLAN_MINGW_ARCH}'")
endif()
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages of the target only: the host's GoogleTest must not be found.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
