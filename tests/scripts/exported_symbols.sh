#!/bin/sh
# Fails when libdyadc.so exports anything but its public functions.
set -eu
library=$1
expected="DyadClose DyadOpen DyadOpenXOver DyadRecvDataBlock DyadSendDataBlock DyadSetLog"
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports: $actual"
