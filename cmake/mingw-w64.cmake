# Cross-building for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix: the posix thread model, so that std::thread and
# std::mutex work). Everything links the compiler's runtime statically: the
# programs and dyadc.dll need no MinGW DLL beside them.
#
#   cmake -S . -B build-windows -G Ninja --toolchain cmake/mingw-w64.cmake
#   cmake --build build-windows
#
# cmake/mingw-w64-i686.cmake names the compilers for 32-bit Windows and then
# reads this file for the rest.
if(NOT DEFINED DYADC_MINGW_TRIPLET)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(DYADC_MINGW_TRIPLET x86_64-w64-mingw32)
endif()
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${DYADC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DYADC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_ASM_COMPILER ${DYADC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_RC_COMPILER ${DYADC_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DYADC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
