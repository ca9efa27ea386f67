# bench/measure/folders.sh, sourced by bench/run: folders from workstation
# 2's /tmp (a memory file system) to workstation 1, by `tar c | socat` into
# `socat | tar x`, by `rsync -a` to an rsync daemon in workstation 1 and by
# `dyad send DIR`, in interleaved rounds: 10,000 files of 4 KiB in 100
# folders, 1,000 files of 256 KiB in 10, and one file of 1 GiB in a folder of
# its own. Each set goes to workstation 1's /tmp (tmpfs) and then to a folder
# on the machine's disk (ext4 here), where `rsync -a --fsync` runs beside
# them. Each copy is compared with the original. Then the peak memory of both
# dyad processes for 10,000 and for 100,000 files of 4 KiB.
# Records: "set" (set, files, size, folders, bytes), "disk" (disk, path,
# fstype, source), "copy" (set, disk, copier, label, round, files, bytes,
# seconds), "failed" (set, disk, copier, round), "missing" (names), "peak"
# (copier, label, set, received: files that arrived, sender and receiver:
# KiB, seconds: the sender's).

folder_rounds=${DYADC_BENCH_FOLDER_ROUNDS:-$runs}
folder_parts=${DYADC_BENCH_FOLDER_PARTS:-4k,256k,1g,ext4,memory}
[[ "$folder_rounds" =~ ^[1-9][0-9]*$ ]] || { echo "DYADC_BENCH_FOLDER_ROUNDS: a number of rounds" >&2; exit 2; }
part() { [[ ",$folder_parts," == *",$1,"* ]]; }

# The dyad rows, one line each: NAME|options of `dyad send`|options of
# `dyad receive`. Every row runs in every round, on both file systems and in
# the memory figures. A row whose receive options hold --code is a private
# transfer: the receiver makes the code, and the sender is given it (in
# place of the identifier that the other rows share).
folder_dyad_rows=(
  "dyad||"
  "dyad --code|--code|--code"
)

section_begin folders "folders: tar | socat, rsync to a daemon and dyad send DIR ($folder_rounds interleaved rounds)" \
  "rounds=$folder_rounds" "parts=$folder_parts"
missing=()
for tool in tar socat rsync; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "   not installed, so not compared: ${missing[*]}"
  record folders missing "names=${missing[*]}"
fi
has() { command -v "$1" >/dev/null; }

# Sets: NAME FILES SIZE FOLDERS, made on workstation 2 as /tmp/sets/NAME/tree.
folder_sets=()
part 4k && folder_sets+=("4k 10000 4096 100")
part 256k && folder_sets+=("256k 1000 262144 10")
part 1g && folder_sets+=("1g 1 1073741824 1")
make_set() {
  local name=$1 files=$2 size=$3 folders=$4
  [ -d "$root/h2/tmp/sets/$name" ] && return 0
  mkdir -p "$root/h2/tmp/sets/$name"
  "$python" bench/make-tree.py "$root/h2/tmp/sets/$name/tree" "$files" "$size" "$folders"
  record folders set "set=$name" "files=$files" "size=$size" "folders=$folders" "bytes=$((files * size))"
}

# Where the copies arrive: tmpfs is workstation 1's /tmp, disk a folder of
# the machine's own disk (outside /tmp, so that it is the same path inside
# the workstation).
disks=(tmpfs)
if part ext4; then
  disk_base=$(realpath -m "${DYADC_BENCH_DISK:-/var/tmp}")
  case $disk_base in
    /tmp | /tmp/*) echo "DYADC_BENCH_DISK: a folder outside /tmp" >&2; exit 2 ;;
  esac
  disk_dir=$disk_base/dyadc-bench-$lan
  mkdir -p "$disk_dir"
  record folders disk disk=ext4 "path=$disk_base" "fstype=$(findmnt -n -o FSTYPE --target "$disk_dir")" \
    "source=$(findmnt -n -o SOURCE --target "$disk_dir")"
  disks+=(ext4)
fi
# The receiving folder of a file system, inside workstation 1 and outside.
dest_in() { if [ "$1" = tmpfs ]; then echo /tmp/in; else echo "$disk_dir/in"; fi; }
dest_out() { if [ "$1" = tmpfs ]; then echo "$root/h1/tmp/in"; else echo "$disk_dir/in"; fi; }

# An rsync daemon in workstation 1 on its address alone, with a module for
# each file system; it runs until the section ends.
rsyncd_pid=
if has rsync; then
  mkdir -p "$root/h1/tmp/rsyncd"
  {
    echo "use chroot = no"
    echo "uid = root"
    echo "gid = root"
    echo "[tmpfs]"
    echo "path = /tmp/in"
    echo "read only = no"
    if [ -n "$disk_dir" ]; then
      echo "[ext4]"
      echo "path = $disk_dir/in"
      echo "read only = no"
    fi
  } > "$root/h1/tmp/rsyncd/rsyncd.conf"
  # Started directly (not through a function) so that its id is the daemon's.
  tests/lan/lan exec "$lan" 1 -- rsync --daemon --no-detach --config=/tmp/rsyncd/rsyncd.conf --address=192.168.10.1 --port=8730 \
    --log-file=/tmp/rsyncd/log &
  rsyncd_pid=$!
  stop_at_exit+=("$rsyncd_pid")
  await_listener 8730 || { echo "   the rsync daemon did not start"; cat "$root/h1/tmp/rsyncd/log"; exit 1; }
fi

# The copiers of a file system: tar through socat and rsync where they are
# installed, rsync --fsync on the disk, and every dyad row.
copiers_of() {
  has tar && has socat && echo tar-socat
  if has rsync; then
    echo rsync
    [ "$1" = tmpfs ] || echo rsync-fsync
  fi
  local row
  for row in "${folder_dyad_rows[@]}"; do echo "${row%%|*}"; done
}
# The options of a dyad row ($1 its name, $2 1 for send, 2 for receive).
dyad_options() {
  local row
  for row in "${folder_dyad_rows[@]}"; do
    [ "${row%%|*}" = "$1" ] && { echo "$row" | cut -d'|' -f$(($2 + 1)); return 0; }
  done
}
dyad_label() {
  local send receive
  send=$(dyad_options "$1" 1) receive=$(dyad_options "$1" 2)
  echo "dyad send${send:+ $send} DIR${receive:+ (dyad receive $receive)}"
}

# Whether a dyad row whose receive options are $@ is a private transfer.
private_row() { [[ " $* " == *" --code "* ]]; }
# The code that a `dyad receive --code` (process $2, its output in $1)
# printed, once it did; fails when the receiver ended first.
printed_code() {
  local code
  until code=$(sed -n 's/^the code for this transfer: //p' "$1") && [ -n "$code" ]; do
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  echo "$code"
}
# Options $@ without --code, one a line (the sender gets the code instead).
without_code() {
  local option
  for option in "$@"; do [ "$option" = --code ] || echo "$option"; done
}

# One copy of set $1 to file system $2 by copier $3; prints the seconds from
# starting the sending command until both sides have ended (dyad's without
# its pairing, which waits for an announce), after comparing the copy with
# the original.
folder_once() {
  local set=$1 disk=$2 copier=$3 t0 t1 paired=0 receiver into
  into=$(dest_in "$disk")
  rm -rf "$(dest_out "$disk")"
  mkdir -p "$(dest_out "$disk")"
  # The disk writes what earlier copies left in memory before this one starts.
  [ "$disk" = tmpfs ] || sync -f "$disk_dir"
  serial=$((serial + 1))
  case $copier in
    tar-socat)
      free_ws 1 sh -c "socat -u -b 1048576 TCP-LISTEN:9001,bind=192.168.10.1,reuseaddr STDOUT | tar x -C $into" &
      receiver=$!
      await_listener 9001
      t0=$(now)
      free_ws 2 sh -c "tar c -C /tmp/sets/$set tree | socat -u -b 1048576 STDIN TCP:192.168.10.1:9001"
      wait "$receiver"
      t1=$(now)
      ;;
    rsync | rsync-fsync)
      local fsync=()
      [ "$copier" = rsync-fsync ] && fsync=(--fsync)
      t0=$(now)
      free_ws 2 rsync -a "${fsync[@]}" "/tmp/sets/$set/tree" "rsync://192.168.10.1:8730/$disk/"
      t1=$(now)
      ;;
    *)
      local send receive
      read -ra send <<< "$(dyad_options "$copier" 1)"
      read -ra receive <<< "$(dyad_options "$copier" 2)"
      local pairing=(--id "folders$serial")
      private_row "${receive[@]}" && pairing=()
      free_ws 1 "$dyad" receive "${pairing[@]}" --accept initiator --dir "$into" --timeout 60 --quiet \
        "${receive[@]}" > "$work/dyad-recv.out" 2>&1 &
      receiver=$!
      if [ ${#pairing[@]} -eq 0 ]; then
        local code
        code=$(printed_code "$work/dyad-recv.out" "$receiver") || { cat "$work/dyad-recv.out" >&2; return 1; }
        pairing=(--code "$code")
        mapfile -t send < <(without_code "${send[@]}")
      fi
      t0=$(now)
      free_ws 2 "$dyad" send "${pairing[@]}" --timeout 60 --quiet "${send[@]}" "/tmp/sets/$set/tree" \
        > "$work/dyad-send.out" 2>&1 || { cat "$work/dyad-send.out" >&2; wait "$receiver"; return 1; }
      wait "$receiver" || { cat "$work/dyad-recv.out" >&2; return 1; }
      t1=$(now)
      paired=$(sed -n 's/^paired in \(.*\) s$/\1/p' "$work/dyad-send.out")
      ;;
  esac
  diff -r -q "$root/h2/tmp/sets/$set/tree" "$(dest_out "$disk")/tree" >&2 ||
    { echo "$copier: the copy differs" >&2; return 1; }
  awk -v a="$t0" -v b="$t1" -v p="${paired:-0}" 'BEGIN {printf "%.4f\n", b - a - p}'
}

for set_line in "${folder_sets[@]}"; do
  read -r set files size folders <<< "$set_line"
  make_set "$set" "$files" "$size" "$folders"
  for disk in "${disks[@]}"; do
    mapfile -t copiers < <(copiers_of "$disk")
    echo "   $files files of $size bytes to $disk: ${copiers[*]}"
    # One copy that is not counted: the receiving side's first touch of its
    # pages costs more than later ones.
    folder_once "$set" "$disk" "${copiers[0]}" > /dev/null || true
    for round in $(seq "$folder_rounds"); do
      for copier in "${copiers[@]}"; do
        label=$copier
        [[ "$copier" == dyad* ]] && label=$(dyad_label "$copier")
        if seconds=$(folder_once "$set" "$disk" "$copier"); then
          record folders copy "set=$set" "disk=$disk" "copier=$copier" "label=$label" "round=$round" \
            "files=$files" "bytes=$((files * size))" "seconds=$seconds"
        else
          echo "   $copier failed in round $round ($set to $disk)"
          record folders failed "set=$set" "disk=$disk" "copier=$copier" "round=$round"
        fi
      done
    done
    rm -rf "$(dest_out "$disk")"
  done
  [ "$set" = 4k ] && part memory || rm -rf "$root/h2/tmp/sets/$set"
done
[ -z "$rsyncd_pid" ] || stop_server "$rsyncd_pid"

# Peak memory (maximum resident set, GNU time) of both dyad processes for
# 10,000 and 100,000 files of 4 KiB, 100 to a folder, between memory file
# systems; one copy each.
if part memory && [ -x /usr/bin/time ]; then
  make_set 4k 10000 4096 100
  make_set 100k 100000 4096 1000
  for row in "${folder_dyad_rows[@]}"; do
    copier=${row%%|*}
    read -ra send <<< "$(dyad_options "$copier" 1)"
    read -ra receive <<< "$(dyad_options "$copier" 2)"
    for set in 4k 100k; do
      rm -rf "$root/h1/tmp/in" "$root/h1/tmp/rss.txt" "$root/h2/tmp/rss.txt"
      mkdir -p "$root/h1/tmp/in"
      serial=$((serial + 1))
      pairing=(--id "peak$serial")
      private_row "${receive[@]}" && pairing=()
      free_ws 1 /usr/bin/time -f "%M %e" -o /tmp/rss.txt "$dyad" receive "${pairing[@]}" --accept initiator \
        --dir /tmp/in --timeout 60 --quiet "${receive[@]}" > "$work/dyad-peak.out" 2>&1 &
      receiver=$!
      sending=("${send[@]}")
      if [ ${#pairing[@]} -eq 0 ]; then
        code=$(printed_code "$work/dyad-peak.out" "$receiver") || echo "   $copier: the receive of $set printed no code"
        pairing=(--code "$code")
        mapfile -t sending < <(without_code "${send[@]}")
      fi
      free_ws 2 /usr/bin/time -f "%M %e" -o /tmp/rss.txt "$dyad" send "${pairing[@]}" --timeout 60 --quiet \
        "${sending[@]}" "/tmp/sets/$set/tree" > /dev/null 2>&1 || echo "   $copier: the send of $set failed"
      wait "$receiver" || echo "   $copier: the receive of $set failed"
      received=$(find "$root/h1/tmp/in" -type f | wc -l)
      record folders peak "copier=$copier" "label=$(dyad_label "$copier")" "set=$set" "received=$received" \
        "sender=$(cut -d' ' -f1 "$root/h2/tmp/rss.txt")" "receiver=$(cut -d' ' -f1 "$root/h1/tmp/rss.txt")" \
        "seconds=$(cut -d' ' -f2 "$root/h2/tmp/rss.txt")"
    done
  done
  rm -rf "$root/h1/tmp/in" "$root/h2/tmp/sets"
elif part memory; then
  record folders missing names=time
fi
[ -z "$disk_dir" ] || { rm -rf "$disk_dir"; disk_dir=; }
section_end folders
