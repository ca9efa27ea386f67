#!/bin/sh
# Installs the build into a fresh prefix and builds a small host program
# against the installed files, once with pkg-config and once with
# find_package(dyadc), then runs both.
set -eu
build=$1
sources=$2
work=$(mktemp -d)
# The example host loads the library: give it a workstation of its own.
export DYADC_SESSION="install$$"
trap 'rm -rf "$work"; rm -f /dev/shm/"$DYADC_SESSION" /dev/shm/"$DYADC_SESSION".lock' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libdyadc.so' | head -n 1)")

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -o "$work/host-pc" "$sources/host.c" $(pkg-config --cflags --libs dyadc)
LD_LIBRARY_PATH="$libdir" "$work/host-pc"

# find_package
cmake -S "$sources" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/host"
