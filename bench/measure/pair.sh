# bench/measure/pair.sh, sourced by bench/run: the time to pair, both sides
# started together, over 4 times RUNS pairings (at least 20).
# Records: "pairing" (seconds: the later of the two sides' DyadOpen).

pairs=$((runs > 4 ? runs * 4 : 20))
section_begin pair "time to pair (both sides started together, $pairs pairings)" "pairings=$pairs"
for i in $(seq "$pairs"); do
  serial=$((serial + 1))
  start=$(date +%s%N)
  ws 1 "$bench" pair responder "pair$serial" "$start" > "$work/pair1.out" 2>&1 &
  responder=$!
  ws 2 "$bench" pair initiator "pair$serial" "$start" > "$work/pair2.out" 2>&1
  wait "$responder"
  record pair pairing "round=$i" "seconds=$(awk '{print $3}' "$work/pair1.out" "$work/pair2.out" | sort -g | tail -n 1)"
done
section_end pair
