# bench/measure/blocks.sh, sourced by bench/run: series of large blocks by
# size (2 GiB per run, receiver buffer 1 MiB) against a plain TCP stream of
# writes of the block size and plain TCP in dyadc's exchange; then series of
# 20000 small blocks against a plain ping-pong of the same shape.
# Records: "large" and "small" (item lib, stream or exchange; block, round,
# bytes, seconds, blocks).

section_begin blocks "large blocks (series on one connection, receiver buffer 1 MiB)"
for block in 65536 262144 1048576 4194304 16777216 67108864 268435456; do
  count=$(( (1 << 31) / block ))  # 2 GiB per run
  for i in $(seq "$runs"); do
    record blocks large item=lib "block=$block" "round=$i" $(lib_once series "$block" "$count" 1048576 | sent_fields)
  done
  for i in $(seq "$runs"); do
    record blocks large item=stream "block=$block" "round=$i" $(raw_once stream "$block" "$count" | sent_fields)
  done
  for i in $(seq "$runs"); do
    record blocks large item=exchange "block=$block" "round=$i" $(raw_once pingpong "$block" "$count" | sent_fields)
  done
done

echo "== small blocks (series on one connection) and the plain ping-pong"
for size in 64 4096; do
  for i in $(seq "$runs"); do
    record blocks small item=lib "block=$size" "round=$i" $(lib_once series "$size" 20000 65536 | sent_fields)
  done
  for i in $(seq "$runs"); do
    record blocks small item=exchange "block=$size" "round=$i" $(raw_once pingpong "$size" 20000 | sent_fields)
  done
done
section_end blocks
