# bench/measure/link.sh, sourced by bench/run: large blocks against the
# link's limit. Series of 1 GiB in blocks of 1, 4 and 16 MiB into buffers of
# 256 KiB to 16 MiB, plain TCP (the same exchange; streams of 16 MiB and
# 1 MiB writes), socat and iperf3, each copying 1 GiB, in interleaved rounds.
# Records: "run" (item, round, bytes, seconds), "missing" (names), "failed"
# (item, round).

link_bytes=$((1 << 30))
link_rounds=${DYADC_BENCH_LINK_ROUNDS:-$((runs * 2))}
section_begin link "large blocks against the link's limit (1 GiB each, $link_rounds interleaved rounds)" \
  "rounds=$link_rounds" "bytes=$link_bytes"
# The copies that show what the link carries for a host that receives into a
# 1 MiB buffer: socat and iperf3, both reading and writing 1 MiB at a time
# (socat from /dev/zero to /dev/null), pinned like the library's two sides.
link_items=(lib-1m lib-4m lib-16m lib-16m-b256k lib-16m-b4m lib-16m-b16m exchange-16m stream-16m stream-1m)
link_missing=()
if command -v socat >/dev/null; then link_items+=(socat); else link_missing+=(socat); fi
if command -v iperf3 >/dev/null; then link_items+=(iperf3); else link_missing+=(iperf3); fi
if [ ${#link_missing[@]} -gt 0 ]; then
  echo "   not installed, so not compared: ${link_missing[*]}"
  record link missing "names=${link_missing[*]}"
fi

# socat: the time runs from the receiving socat's accepting the connection
# until it exits after the last byte, from its own log (-lu: microseconds):
# starting the sending socat and connecting are left out.
socat_once() {
  ws 1 socat -d -d -lu -u -b 1048576 TCP-LISTEN:9000,bind=192.168.10.1,reuseaddr OPEN:/dev/null \
    2> "$work/socat-recv.log" &
  local receiver=$!
  await_listener 9000
  ws 2 socat -u -b 1048576 OPEN:/dev/zero,readbytes="$link_bytes" TCP:192.168.10.1:9000
  wait "$receiver"
  awk -v n="$link_bytes" '
    function at(t) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
    / accepting connection / {a = at($2)} / exiting with status 0/ {b = at($2)}
    END {if (b < a) b += 86400; printf "sent %d %.6f 1\n", n, b - a}' "$work/socat-recv.log"
}
# iperf3: its own measurement of the bytes received and the test's time.
iperf3_once() {
  ws 1 iperf3 -s -1 -B 192.168.10.1 -p 5201 > /dev/null 2>&1 &
  local receiver=$!
  await_listener 5201
  ws 2 iperf3 -c 192.168.10.1 -p 5201 -n "$link_bytes" -l 1048576 -J > "$work/iperf3.json"
  wait "$receiver"
  "$python" -c 'import json, sys; r = json.load(open(sys.argv[1]))["end"]["sum_received"]
print("sent %d %.6f 1" % (r["bytes"], r["seconds"]))' "$work/iperf3.json"
}
link_once() {
  case $1 in
    lib-1m) lib_once series 1048576 $((link_bytes >> 20)) 1048576 ;;
    lib-4m) lib_once series 4194304 $((link_bytes >> 22)) 1048576 ;;
    lib-16m) lib_once series 16777216 $((link_bytes >> 24)) 1048576 ;;
    lib-16m-b256k) lib_once series 16777216 $((link_bytes >> 24)) 262144 ;;
    lib-16m-b4m) lib_once series 16777216 $((link_bytes >> 24)) 4194304 ;;
    lib-16m-b16m) lib_once series 16777216 $((link_bytes >> 24)) 16777216 ;;
    exchange-16m) raw_once pingpong 16777216 $((link_bytes >> 24)) ;;
    stream-16m) raw_once stream 16777216 $((link_bytes >> 24)) ;;
    stream-1m) raw_once stream 1048576 $((link_bytes >> 20)) ;;
    socat) socat_once ;;
    iperf3) iperf3_once ;;
  esac
}
for round in $(seq "$link_rounds"); do
  for item in "${link_items[@]}"; do
    if line=$(link_once "$item"); then
      # shellcheck disable=SC2046
      record link run "item=$item" "round=$round" $(echo "$line" | sent_fields)
    else
      echo "   $item failed in round $round"
      record link failed "item=$item" "round=$round"
    fi
  done
done
section_end link
