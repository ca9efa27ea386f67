#!/bin/sh
# The manual pages are clean for mandoc's checker, render, and the library
# page's example host program compiles against the header and the library.
#   man_pages.sh SOURCE_DIR LIBRARY
set -eu
source=$1
library=$2
status=0
for page in "$source"/man/*.[0-9]; do
  report=$(mandoc -T lint -W warning "$page" 2>&1 || true)
  if [ -n "$report" ]; then
    echo "$report"
    status=1
  fi
  mandoc -T ascii "$page" | sed 's/.\x08//g' | grep -q '^NAME' || { echo "$page does not render"; status=1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The first literal display of dyadc(3) is a whole host program.
sed -n '/^\.Bd -literal/,/^\.Ed/p' "$source/man/dyadc.3" | awk '/^\.Ed/ {exit} !/^\.Bd/' |
  sed 's/\\e/\\/g' > "$work/example.c"
cc -std=c99 -Wall -Wextra -Werror -I"$source/include" -o "$work/example" "$work/example.c" "$library" ||
  { echo "the example of dyadc(3) does not build"; status=1; }
[ $status -eq 0 ] && echo "manual pages are clean and the example builds"
exit $status
