# Cross-building for 32-bit Windows (x86) with MinGW-w64 (Debian's
# g++-mingw-w64-i686-posix), from the same sources as the 64-bit build and
# beside it; cmake/mingw-w64.cmake does the rest.
#
#   cmake -S . -B build-windows-x86 -G Ninja --toolchain cmake/mingw-w64-i686.cmake
#   cmake --build build-windows-x86
set(CMAKE_SYSTEM_PROCESSOR x86)
set(DYADC_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
