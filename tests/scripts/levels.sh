#!/bin/bash
# Every library file (under src/) includes only files of its own folder or of
# a folder below it, as levels.txt orders the folders; a file in a folder that
# levels.txt does not list fails too, and so does an include of a file that
# is neither the public header nor under src/.
#   levels.sh SOURCE_DIR
set -u
cd "$1" || exit 2
declare -A levelOf=()
while read -r level folder _; do
  case "$level" in
    ''|'#'*) ;;
    *) levelOf[$folder]=$level ;;
  esac
done < levels.txt

failed=0
while IFS= read -r file; do
  folder=${file#src/}
  folder=${folder%%/*}
  own=${levelOf[$folder]:-}
  if [ -z "$own" ]; then
    echo "$file: its folder $folder is not in levels.txt"
    failed=1
    continue
  fi
  while IFS= read -r included; do
    [ "$included" = dyadc.h ] && continue
    theirs=${levelOf[${included%%/*}]:-}
    if [ -z "$theirs" ] || [ ! -f "src/$included" ]; then
      echo "$file includes $included, which is no file of a folder in levels.txt"
      failed=1
    elif [ "$theirs" -gt "$own" ]; then
      echo "$file ($folder, level $own) includes $included (level $theirs)"
      failed=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find src -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
[ $failed -eq 0 ] && echo "every include points to its own folder or one below"
exit $failed
