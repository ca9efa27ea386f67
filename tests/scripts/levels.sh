#!/bin/bash
# Every library file includes only files of its own level or a lower one, as
# levels.txt orders them; a file that levels.txt does not list fails too.
#   levels.sh SOURCE_DIR
set -u
cd "$1" || exit 2
table=levels.txt
declare -a levelOf=() patterns=() exceptions=()

# The level of a file, or nothing.
level() {
  local file=$1 entry
  [ "$file" = dyadc.h ] || [ "$file" = include/dyadc.h ] && { echo 0; return; }
  for entry in "${patterns[@]}"; do
    # shellcheck disable=SC2053
    [[ $file == ${entry#* } ]] && { echo "${entry%% *}"; return; }
  done
}

while read -r first second rest; do
  case "$first" in
    ''|'#'*) ;;
    exception) exceptions+=("$second ${rest%% *}") ;;
    *) for pattern in $rest; do patterns+=("$first $pattern"); done ;;
  esac
done < "$table"

failed=0
while IFS= read -r file; do
  own=$(level "$file")
  if [ -z "$own" ]; then
    echo "$file: not in $table"
    failed=1
    continue
  fi
  while IFS= read -r included; do
    theirs=$(level "$included")
    allowed=0
    for exception in "${exceptions[@]}"; do
      # shellcheck disable=SC2053
      [[ $file == ${exception%% *} && $included == ${exception#* } ]] && allowed=1
    done
    if [ -z "$theirs" ]; then
      echo "$file includes $included, which $table does not list"
      failed=1
    elif [ "$theirs" -gt "$own" ] && [ $allowed -eq 0 ]; then
      echo "$file (level $own) includes $included (level $theirs)"
      failed=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find platform frame log channel rendezvous update -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
[ $failed -eq 0 ] && echo "every include points to its own level or below"
exit $failed
