# bench/measure/files.sh, sourced by bench/run: one file of 1 GiB of random
# bytes from workstation 2's /tmp to workstation 1's (both memory file
# systems) by dyad (its defaults, SHA-256, other block sizes, progress lines
# shown, no checksum at all), socat, scp and rsync over ssh to a throw-away
# sshd, in interleaved rounds; each copy compared with the original. Then
# how fast this processor hashes, and dyad's peak memory for 1 and 4 GiB.
# Records: "copy" (copier, round, bytes, seconds; user and system: CPU
# seconds of both sides when GNU time is there), "failed" (copier, round),
# "missing" (names), "sha256" (mbs: MB/s of one core, or empty; sha_ni),
# "peak" (bytes, sender and receiver: KiB).

section_begin files "files: dyad against socat, scp and rsync (1 GiB between memory file systems)"
file_size=$((1 << 30))
head -c "$file_size" /dev/urandom > "$root/h2/tmp/file.bin"
truncate -s 4G "$root/h2/tmp/file4.bin"  # sparse: reading it takes no memory
# On a virtual machine the first touch of fresh memory pages costs several
# times a later one: fill and free the receiving side's pages once first.
head -c $((2 * file_size)) /dev/zero > "$root/h1/tmp/warm"
rm -f "$root/h1/tmp/warm"

missing=()
copiers=(dyad dyad-sha256 dyad-512k dyad-1m dyad-16m dyad-lines dyad-no-sum)
if command -v socat >/dev/null; then copiers+=(socat); else missing+=(socat); fi
sshd_bin=$(command -v sshd || echo /usr/sbin/sshd)
ssh_options="-F /dev/null -i /tmp/ssh/id -o UserKnownHostsFile=/tmp/ssh/known_hosts"
ssh_options+=" -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o BatchMode=yes"
have_ssh=1
for tool in ssh scp ssh-keygen; do command -v "$tool" >/dev/null || { missing+=("$tool"); have_ssh=0; }; done
[ -x "$sshd_bin" ] || { missing+=(sshd); have_ssh=0; }
sshd_pid=
if [ "$have_ssh" = 1 ]; then
  # A throw-away sshd inside the receiving workstation only: its own host key,
  # configuration and client key, all in that workstation's /tmp, listening
  # on the workstation's address alone.
  mkdir -p "$root/h1/tmp/sshd" "$root/h2/tmp/ssh"
  ssh-keygen -q -t ed25519 -N "" -C bench-host -f "$root/h1/tmp/sshd/host_key"
  ssh-keygen -q -t ed25519 -N "" -C bench-client -f "$root/h2/tmp/ssh/id"
  cp "$root/h2/tmp/ssh/id.pub" "$root/h1/tmp/sshd/authorized_keys"
  echo "192.168.10.1 $(cut -d' ' -f1,2 "$root/h1/tmp/sshd/host_key.pub")" > "$root/h2/tmp/ssh/known_hosts"
  cat > "$root/h1/tmp/sshd/sshd_config" <<CONFIG
ListenAddress 192.168.10.1:22
HostKey /tmp/sshd/host_key
AuthorizedKeysFile /tmp/sshd/authorized_keys
PidFile none
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
Subsystem sftp internal-sftp
CONFIG
  # sshd insists on its privilege separation directory.
  if [ ! -d /run/sshd ]; then mkdir -m 755 /run/sshd; made_privsep=1; fi
  tests/lan/lan exec "$lan" 1 -- "$sshd_bin" -D -e -f /tmp/sshd/sshd_config 2> "$work/sshd.log" &
  sshd_pid=$!
  stop_at_exit+=("$sshd_pid")
  if await_listener 22 && free_ws 2 ssh $ssh_options root@192.168.10.1 true; then
    copiers+=(scp)
    if command -v rsync >/dev/null; then copiers+=(rsync); else missing+=(rsync); fi
  else
    echo "   sshd did not start (see below); no scp or rsync"
    cat "$work/sshd.log"
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "   not installed, so not compared: ${missing[*]}"
  record files missing "names=${missing[*]}"
fi

# CPU seconds (user and system) of a command on each side, when GNU time is
# there: it writes them to the workstation's /tmp/cpu.txt.
timed=()
[ -x /usr/bin/time ] && timed=(/usr/bin/time -f "%U %S" -o /tmp/cpu.txt)

# One copy of the 1 GiB file from workstation 2 to workstation 1; prints the
# record's fields: the seconds it took (dyad: without the pairing, which
# waits for an announce) and the CPU seconds of both sides.
copy_once() {
  local tool=$1 t0 t1 paired=0 receiver
  rm -rf "$root/h1/tmp/in" "$root/h1/tmp/cpu.txt" "$root/h2/tmp/cpu.txt"
  mkdir -p "$root/h1/tmp/in"
  serial=$((serial + 1))
  case $tool in
    dyad*)
      local block=4194304 quiet=--quiet preload=() checksum=()
      case $tool in
        dyad-sha256) checksum=(--checksum sha256) ;;
        dyad-512k) block=524288 ;;
        dyad-1m) block=1048576 ;;
        dyad-16m) block=16777216 ;;
        dyad-lines) quiet= ;;
        # SHA-256 on both sides, with libcrypto's digest update made a no-op:
        # the same pipeline without any hashing.
        dyad-no-sum) checksum=(--checksum sha256) preload=(env "LD_PRELOAD=$no_digest") ;;
      esac
      free_ws 1 "${preload[@]}" "${timed[@]}" "$dyad" receive --id "files$serial" --accept initiator --dir /tmp/in \
        --timeout 60 --block-size "$block" "${checksum[@]}" $quiet > "$work/dyad-recv.out" 2>&1 &
      receiver=$!
      t0=$(now)
      free_ws 2 "${preload[@]}" "${timed[@]}" "$dyad" send --id "files$serial" --timeout 60 --block-size "$block" \
        "${checksum[@]}" $quiet /tmp/file.bin > "$work/dyad-send.out" 2>&1
      wait "$receiver" || { cat "$work/dyad-recv.out" >&2; return 1; }
      t1=$(now)
      paired=$(sed -n 's/^paired in \(.*\) s$/\1/p' "$work/dyad-send.out")
      ;;
    socat)
      free_ws 1 "${timed[@]}" socat -u -b 1048576 TCP-LISTEN:9000,bind=192.168.10.1,reuseaddr \
        OPEN:/tmp/in/file.bin,creat,trunc &
      receiver=$!
      await_listener 9000
      t0=$(now)
      free_ws 2 "${timed[@]}" socat -u -b 1048576 OPEN:/tmp/file.bin TCP:192.168.10.1:9000
      wait "$receiver"
      t1=$(now)
      ;;
    scp)
      t0=$(now)
      free_ws 2 scp -q $ssh_options /tmp/file.bin root@192.168.10.1:/tmp/in/file.bin
      t1=$(now)
      ;;
    rsync)
      t0=$(now)
      free_ws 2 rsync -e "ssh $ssh_options" /tmp/file.bin root@192.168.10.1:/tmp/in/file.bin
      t1=$(now)
      ;;
  esac
  cmp -s "$root/h1/tmp/in/file.bin" "$root/h2/tmp/file.bin" || { echo "$tool: the copy differs" >&2; return 1; }
  awk -v a="$t0" -v b="$t1" -v p="${paired:-0}" 'BEGIN {printf "seconds=%.4f\n", b - a - p}'
  if [ -s "$root/h1/tmp/cpu.txt" ] && [ -s "$root/h2/tmp/cpu.txt" ]; then
    cat "$root/h1/tmp/cpu.txt" "$root/h2/tmp/cpu.txt" | awk '{u += $1; s += $2} END {printf "user=%.2f system=%.2f\n", u, s}'
  fi
}

# One copy that is not counted: the first after the file was made runs
# markedly slower than the rest.
copy_once dyad > /dev/null || true
# Rounds of one copy by each copier, interleaved, so that a disturbance of
# the machine hits all of them alike.
for round in $(seq "$runs"); do
  for copier in "${copiers[@]}"; do
    if fields=$(copy_once "$copier"); then
      # shellcheck disable=SC2086
      record files copy "copier=$copier" "round=$round" "bytes=$file_size" $fields
    else
      echo "   $copier failed in round $round"
      record files failed "copier=$copier" "round=$round"
    fi
  done
done
rm -rf "$root/h1/tmp/in"
# How fast this processor hashes, and whether it has the SHA instructions.
sha_speed=
if command -v openssl >/dev/null; then
  sha_speed=$(openssl speed -evp sha256 -bytes 1048576 -seconds 1 2>/dev/null |
    awk '$1 == "sha256" {printf "%.0f", $2 / 1000}' || true)
fi
record files sha256 "mbs=$sha_speed" "sha_ni=$(grep -q -m1 -w sha_ni /proc/cpuinfo && echo yes || echo no)"

# Peak memory of both dyad processes for a 1 GiB and a 4 GiB file.
peak_kib() {
  local file=$1
  serial=$((serial + 1))
  mkdir -p "$root/h1/tmp/in"
  free_ws 1 /usr/bin/time -f %M -o /tmp/rss.txt "$dyad" receive --id "peak$serial" --accept initiator \
    --dir /tmp/in --timeout 60 --quiet > /dev/null 2>&1 &
  local receiver=$!
  free_ws 2 /usr/bin/time -f %M -o /tmp/rss.txt "$dyad" send --id "peak$serial" --timeout 60 --quiet "/tmp/$file" \
    > /dev/null 2>&1
  wait "$receiver"
  rm -rf "$root/h1/tmp/in"
  echo "sender=$(cat "$root/h2/tmp/rss.txt") receiver=$(cat "$root/h1/tmp/rss.txt")"
}
if [ -x /usr/bin/time ]; then
  record files peak "bytes=$file_size" $(peak_kib file.bin)
  record files peak "bytes=$((4 * file_size))" $(peak_kib file4.bin)
else
  record files missing "names=time"
fi
rm -f "$root/h2/tmp/file.bin" "$root/h2/tmp/file4.bin"
[ -z "$sshd_pid" ] || stop_server "$sshd_pid"
section_end files
