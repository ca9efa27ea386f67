# bench/measure/single.sh, sourced by bench/run: single blocks (64 bytes of
# type 7, each on a connection of its own), 2000 per run: with a receiving
# host that calls again at once, beside plain sockets of the same shape in
# the same rounds; with a host that pauses 1 ms between calls (and what its
# Initiator's log says about refused and repeated connection requests); with
# a Python host through the dyadc module.
# Records: "run" (item now, plain, pausing or python; round, bytes, seconds,
# blocks; pausing also refused and asked_again), "syn-retrans" (count).

single_count=2000
section_begin single "single blocks (type 7, each on its own connection)" "count=$single_count"
# The same blocks with a receiving host that calls again at once, for
# comparison: the difference is what the host's own time between calls costs.
# Each round also sends them with plain sockets in the same shape (a
# connection per message: connect, header line, reply, bytes, reply, close),
# to a server that listens throughout: what a single block costs without
# dyadc.
for i in $(seq "$runs"); do
  record single run item=now "round=$i" $(lib_once single 64 "$single_count" 65536 | sent_fields)
  ws 1 "$bench" single-server 192.168.10.1 > "$work/raw.out" 2>&1 &
  receiver=$!
  line=$(ws 2 "$bench" single-client 192.168.10.1 64 "$single_count")
  wait "$receiver"
  record single run item=plain "round=$i" $(echo "$line" | sent_fields)
done
# Connection requests that the Initiator's system repeated on its own.
syn_retrans() { ws 2 nstat -az TcpExtTCPSynRetrans | awk '/TcpExtTCPSynRetrans/ {print $2}'; }
syn_retrans_start=$(syn_retrans)
for i in $(seq "$runs"); do
  rm -f "$root/h2/tmp/single.log"
  line=$(recv_pause=1000 lib_once single 64 "$single_count" 65536 "DYADC_BENCH_LOG=/tmp/single.log")
  # Where the time goes: each refused connection attempt is followed by a
  # pause before the next one, and each request without answer is made again
  # from a new port.
  refused=$(grep -c "connect to data socket failed! Error: 10061" "$root/h2/tmp/single.log" || true)
  asked_again=$(grep -c "asking again from a new port" "$root/h2/tmp/single.log" || true)
  record single run item=pausing "round=$i" $(echo "$line" | sent_fields) "refused=$refused" "asked_again=$asked_again"
done
# The same blocks taken by a small Python program through the dyadc module:
# the receiving host of everyday use.
for i in $(seq "$runs"); do
  serial=$((serial + 1))
  ws 1 env PYTHONPATH="$(realpath "$build/python")" "$python" bench/python-recv.py "bench$serial" 65536 \
    > "$work/recv.out" 2>&1 &
  receiver=$!
  line=$(ws 2 "$bench" lib-send "bench$serial" single 64 "$single_count")
  wait "$receiver"
  record single run item=python "round=$i" $(echo "$line" | sent_fields)
done
record single syn-retrans "count=$(( $(syn_retrans) - syn_retrans_start ))"
section_end single
