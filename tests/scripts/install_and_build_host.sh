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
cc -Wall -Werror -o "$work/host-pc" "$sources/host.c" $(pkg-config --cflags --libs dyadc)
# Without arguments the host only loads the library and prints its usage:
# nothing touches the network here.
check() {
  status=0
  LD_LIBRARY_PATH="$libdir" "$@" 2>"$work/err" || status=$?
  [ "$status" -eq 2 ] && grep -q "usage:" "$work/err" || { echo "$* failed ($status)"; cat "$work/err"; exit 1; }
}
check "$work/host-pc"

# find_package
cmake -S "$sources" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
check "$work/cmake-build/host"

# The dyad command is installed beside the library and finds it.
[ -x "$work/prefix/bin/dyad" ] || { echo "dyad is not installed"; exit 1; }
"$work/prefix/bin/dyad" --help >/dev/null
echo "installed and built"

