#!/bin/sh
# clang-tidy with the checked-in checks (.clang-tidy) finds nothing in the
# library's sources, and no function of the dyad command's (tools/.clang-tidy)
# is longer than 80 lines.
#   tidy.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
report=$(run-clang-tidy -p "$build" -j 2 -quiet "$source/(src|tools)/.*\\.cpp\$" 2>&1)
findings=$(printf '%s\n' "$report" | grep -E '(warning|error): ' || true)
if [ -n "$findings" ]; then
  printf '%s\n' "$report"
  exit 1
fi
echo "clang-tidy found nothing"
