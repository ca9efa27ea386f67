# bench/measure/first.sh, sourced by bench/run: 20 pairings, after each the
# Initiator's first block (64 bytes, type 7) and then DyadClose.
# Records: "pairing" (send and close, seconds).

section_begin first "the first block after pairing, and DyadClose (20 pairings)"
for i in $(seq 20); do
  serial=$((serial + 1))
  ws 1 "$bench" lib-recv "first$serial" 65536 > /dev/null 2>&1 &
  responder=$!
  line=$(ws 2 "$bench" first "first$serial" 2>&1)
  wait "$responder"
  record first pairing "round=$i" $(echo "$line" | awk '{printf "send=%s close=%s\n", $2, $3}')
done
section_end first
