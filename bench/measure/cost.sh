# bench/measure/cost.sh, sourced by bench/run: what a small block costs each
# side in system calls (strace -c of 1000 and of 11000 blocks) and the heap
# allocations of the library's sending and receiving loops (malloc-count.so
# preloaded: 20000 blocks of 64 bytes, and 64 of 16 MiB sent).
# Records: "syscalls" (side, blocks, calls), "heap" (side, block, blocks,
# allocations), "missing" (names).

section_begin cost "cost per small block: system calls and heap allocations"
# System calls of side $1 (sender or receiver) for $2 blocks of 64 bytes.
calls_for() {
  local side=$1 blocks=$2
  local h id; serial=$((serial + 1)); id="bench$serial"
  if [ "$side" = sender ]; then
    ws 1 "$bench" lib-recv "$id" 65536 > /dev/null 2>&1 &
    local other=$!
    ws 2 strace -f -c -o /tmp/strace.txt "$bench" lib-send "$id" series 64 "$blocks" > /dev/null 2>&1
    h=2
  else
    ws 1 strace -f -c -o /tmp/strace.txt "$bench" lib-recv "$id" 65536 > /dev/null 2>&1 &
    local other=$!
    sleep 0.2
    ws 2 "$bench" lib-send "$id" series 64 "$blocks" > /dev/null 2>&1
    h=1
  fi
  wait "$other"
  awk '$NF == "total" {print $4}' "$root/h$h/tmp/strace.txt"
}
if command -v strace >/dev/null; then
  for side in sender receiver; do
    for blocks in 1000 11000; do
      record cost syscalls "side=$side" "blocks=$blocks" "calls=$(calls_for "$side" "$blocks")"
    done
  done
else
  record cost missing names=strace
fi
heap=$(lib_once series 64 20000 65536 "LD_PRELOAD=$counter" | awk '{print $6}')
record cost heap side=sender block=64 blocks=20000 "allocations=$heap"
record cost heap side=receiver block=64 blocks=20000 "allocations=$(awk '{print $4}' "$work/last-recv.out")"
heap=$(lib_once series 16777216 64 1048576 "LD_PRELOAD=$counter" | awk '{print $6}')
record cost heap side=sender block=16777216 blocks=64 "allocations=$heap"
section_end cost
