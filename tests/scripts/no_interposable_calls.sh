#!/bin/sh
# No call inside libdyadc.so goes through the dynamic linker to one of its own
# exports: the shared object carries no relocation for a Dyad* symbol, so a
# host or a preloaded library with the same names cannot intercept the
# library's calls to itself.
set -eu
library=$1
found=$(readelf -rW "$library" | awk '$5 ~ /^Dyad/ {print $5}' | sort -u)
if [ -n "$found" ]; then
  echo "relocations for: $found"
  exit 1
fi
echo "no relocation names an export"
