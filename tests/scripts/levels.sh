#!/bin/bash
# Every file of the library (under src/) or of the dyad command (under
# tools/) includes only files of its own folder or of a folder below it, as
# the tree's table orders the folders (levels.txt for src/, tools/levels.txt
# for tools/); a file in a folder that the table does not list fails too, and
# so does an include of a file that is neither the public header nor a file
# of a listed folder. In tools/ an include names its file from the project's
# folder (tools/base/names.h); the table may list a folder of src/ by its
# path (src/rules), which tools/ files then reach as such.
#   levels.sh SOURCE_DIR [src|tools]
set -u
cd "$1" || exit 2
tree=${2:-src}
case "$tree" in
  src) table=levels.txt ;;
  tools) table=tools/levels.txt ;;
  *) echo "no such tree: $tree"; exit 2 ;;
esac
declare -A levelOf=()
while read -r level folder _; do
  case "$level" in
    ''|'#'*) ;;
    *) levelOf[$folder]=$level ;;
  esac
done < "$table"

# The folder of the table that an include names, and the file it names
# (from the project's folder).
resolve() {
  local included=$1
  if [ "$tree" = src ]; then
    key=${included%%/*}
    path=src/$included
  else
    path=$included
    case "$included" in
      tools/*) key=${included#tools/}; key=${key%%/*} ;;
      src/*) key=${included#src/}; key=src/${key%%/*} ;;
      *) key= ;;
    esac
  fi
}

failed=0
while IFS= read -r file; do
  folder=${file#"$tree"/}
  folder=${folder%%/*}
  own=${levelOf[$folder]:-}
  if [ -z "$own" ] || [ "$folder" = "${file#"$tree"/}" ]; then
    echo "$file: its folder $folder is not in $table"
    failed=1
    continue
  fi
  while IFS= read -r included; do
    [ "$included" = dyadc.h ] && continue
    resolve "$included"
    theirs=${levelOf[$key]:-}
    if [ -z "$key" ] || [ -z "$theirs" ] || [ ! -f "$path" ]; then
      echo "$file includes $included, which is no file of a folder in $table"
      failed=1
    elif [ "$theirs" -gt "$own" ]; then
      echo "$file ($folder, level $own) includes $included (level $theirs)"
      failed=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find "$tree" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
[ $failed -eq 0 ] && echo "every include of $tree/ points to its own folder or one below"
exit $failed
