#!/bin/sh
# The manual pages are clean for mandoc's checker, render, and the library
# page's example host programs compile against the header and the library
# and stand in the README as they stand there.
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
# Each literal display of dyadc(3) is a whole host program.
sed -n '/^\.Bd -literal/,/^\.Ed/p' "$source/man/dyadc.3" | sed 's/\\e/\\/g' |
  awk -v work="$work" '/^\.Bd/ {n++; next} /^\.Ed/ {next} {print > (work "/example" n ".c")}'
# The README's C blocks, the same way.
awk -v work="$work" '/^```c$/ {n++; inside=1; next} /^```$/ {inside=0} inside {print > (work "/readme" n ".c")}' \
  "$source/README.md"
for example in "$work"/example*.c; do
  cc -std=c99 -Wall -Wextra -Werror -I"$source/include" -o "${example%.c}" "$example" "$library" ||
    { echo "the example $(basename "$example") of dyadc(3) does not build"; status=1; }
  found=no
  for block in "$work"/readme*.c; do cmp -s "$example" "$block" && found=yes; done
  [ $found = yes ] || { echo "the README does not show the example $(basename "$example") of dyadc(3)"; status=1; }
done
[ $status -eq 0 ] && echo "manual pages are clean and their examples build and stand in the README"
exit $status
