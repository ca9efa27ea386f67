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
#    A LAN whose keeper still runs belongs to a test of another run on this
#    machine, still going: only what no living keeper holds is left over.
alive() {
  local keeper
  keeper=$(cat "$root/$1/keeper" 2>/dev/null || echo "")
  [ "$keeper" = detached ] || { [ -n "$keeper" ] && kill -0 "$keeper" 2>/dev/null; }
}
left() {  # the names on standard input whose LAN (dl<lan>-...) no keeper holds
  local entry lan
  while read -r entry; do
    lan=${entry#dl}
    lan=${lan%%-*}
    alive "$lan" || printf '%s ' "$entry"
  done
}
namespaces=$(ip netns list | awk '{print $1}' | grep '^dl' | left)
[ -z "$namespaces" ] || fail "namespaces left: $namespaces"
directories=$(ls "$root" 2>/dev/null | sed 's/^/dl/' | left)
[ -z "$directories" ] || fail "LAN directories left: $directories"
memory=$(ls /dev/shm | grep '^dl' | left)
[ -z "$memory" ] || fail "Session memory left: $memory"
"$lan" sweep >/dev/null
exit $failed
