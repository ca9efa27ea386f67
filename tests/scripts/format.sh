#!/bin/sh
# Every C and C++ file of the project is formatted as .clang-format says.
#   format.sh SOURCE_DIR
set -eu
cd "$1"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files '*.c' '*.cpp' '*.h')
else
  files=$(find . -path ./build\* -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
fi
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "every file is formatted"
