#!/bin/sh
# Fails when dyadc.dll exports anything but its public functions, or exports
# them under decorated names.
set -eu
objdump=$1
library=$2
expected="DyadClose DyadOpen DyadOpenXOver DyadRecvDataBlock DyadSendDataBlock DyadSetLog"
actual=$("$objdump" -p "$library" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ' |
  sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports: $actual"
