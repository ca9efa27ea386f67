#!/bin/bash
# The simulated LAN removes everything it made on every way out: when its
# keeper's standard input closes (the test that started it ended, however),
# on Ctrl-C and on a failure while it is being built. Runs after all other
# tests and checks that none of them left a namespace, directory or process.
set -u
lan=$1
root=${DYADC_LAN_ROOT:-/run/dyadc-lan}
failed=0
fail() { echo "FAIL: $*"; failed=1; }
leftovers() { ip netns list | grep -c "^dl$1-" || true; }

# 1. The process that started the LAN is killed: the keeper sees its input close.
coproc KEEPER { "$lan" up --hosts 2; }
read -r -u "${KEEPER[0]}" first
name=${first#lan }
while read -r -u "${KEEPER[0]}" line; do [ "$line" = ready ] && break; done
"$lan" exec "$name" 1 -- sleep 1000 &
sleeper=$!
sleep 0.5
[ "$(leftovers "$name")" -eq 3 ] || fail "LAN $name was not made"
exec {KEEPER[1]}>&-  # what a killed test does to the pipe
wait "$KEEPER_PID" 2>/dev/null
wait "$sleeper" 2>/dev/null
[ "$(leftovers "$name")" -eq 0 ] || fail "namespaces of $name left after its input closed"
[ -e "$root/$name" ] && fail "directory of $name left"

# 2. Ctrl-C (SIGINT) to the keeper.
coproc KEEPER2 { exec "$lan" up --hosts 1; }
read -r -u "${KEEPER2[0]}" first
name=${first#lan }
while read -r -u "${KEEPER2[0]}" line; do [ "$line" = ready ] && break; done
kill -INT "$KEEPER2_PID"
wait "$KEEPER2_PID" 2>/dev/null
[ "$(leftovers "$name")" -eq 0 ] || fail "namespaces of $name left after SIGINT"

# 3. A failure half-way through building it (the sysctl fails after the first
#    namespaces exist).
"$lan" up --hosts 2 --name failtest --syn-retries bad </dev/null >/dev/null 2>&1 && fail "bad options accepted"
[ "$(leftovers failtest)" -eq 0 ] || fail "namespaces left after a failed build"

# 4. Nothing of any earlier test is left either (this runs after all of them).
if ip netns list | grep -q '^dl'; then fail "namespaces left: $(ip netns list | grep '^dl' | tr '\n' ' ')"; fi
if ls "$root" 2>/dev/null | grep -q .; then fail "LAN directories left: $(ls "$root" | tr '\n' ' ')"; fi
if ls /dev/shm | grep -q '^dl'; then fail "Session memory left: $(ls /dev/shm | grep '^dl' | tr '\n' ' ')"; fi
"$lan" sweep >/dev/null
exit $failed
