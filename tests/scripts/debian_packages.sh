#!/bin/bash
# The Debian packages, in two steps:
#
#   debian_packages.sh make SOURCE BUILD
#       makes them with ./make-packages --linux (a build of their own in
#       BUILD/packaging, the packages in BUILD/packages) and checks their
#       names, their dependencies and that lintian finds no error.
#   debian_packages.sh install SOURCE BUILD
#       installs them on this machine (apt-get install ./*.deb), builds the
#       example of dyadc(3) with pkg-config and a host with find_package;
#       then, with the run-time packages only, runs dyad, imports the Python
#       module, asks tshark for the dissector and pairs the example as a
#       Responder in a simulated workstation with a scripted Initiator (the
#       library presents its version; where it stores an update from a newer
#       one); finally purges them and checks that nothing of them is left
#       under /usr, nor of the workstation's shared Session in /dev/shm.
#
# `install` changes the machine's packages: ctest runs it alone, and it
# purges the packages again on every way out. Copies of them installed
# before (an older version, or one left by an interrupted run) are purged
# first, so that what is checked is what was just built.
set -euo pipefail
step=$1
source=$(realpath "$2")
build=$(realpath "$3")
debs=$build/packages
version=$(sed -n 's/^#define DYAD_VERSION_\(MAJOR\|MINOR\) \([0-9]*\)$/\2/p' "$source/include/dyadc.h" | paste -sd.)
library=libdyadc${version%.*}
packages=("$library" libdyadc-dev dyad python3-dyadc dyadc-wireshark)
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
fail() { echo "FAIL: $*"; exit 1; }

if [ "$step" = make ]; then
  rm -rf "$debs"
  # Two compilers at most, beside the other tests.
  CMAKE_BUILD_PARALLEL_LEVEL=2 "$source/make-packages" --linux --linux-build "$build/packaging" --out "$debs" >"$build/packaging.log" 2>&1 ||
    { cat "$build/packaging.log"; fail "make-packages failed"; }
  # Package, then what its Depends must hold (dpkg-shlibdeps' part and ours).
  while read -r package depends; do
    file=$(ls "$debs/${package}_${version}-1_"*.deb 2>/dev/null) || fail "no package $package"
    actual=$(dpkg-deb -f "$file" Depends)
    for dependency in $depends; do
      [[ ", $actual," == *", ${dependency//_/ }"* ]] || fail "$package depends on '$actual', not on ${dependency//_/ }"
    done
    echo "$package: $actual"
  done <<EOF
$library libc6_(>= libstdc++6_(>=
libdyadc-dev ${library}_(=_$version-1)
dyad libc6_(>= ${library}_(>=_$version-1) libssl3_(>=
python3-dyadc python3_(>= ${library}_(>=_$version-1)
dyadc-wireshark wireshark-common
EOF
  [ "$(ls "$debs" | wc -l)" -eq ${#packages[@]} ] || fail "unexpected files: $(ls "$debs")"
  status=0
  lintian --fail-on error "$debs"/*.deb >"$build/lintian.log" 2>&1 || status=$?
  grep -v '^running with root privileges' "$build/lintian.log" || true
  [ "$status" -eq 0 ] || fail "lintian found errors"
  echo "made ${packages[*]}; lintian finds no error"
  exit 0
fi
[ "$step" = install ] || fail "unknown step $step"

# Two runs on one machine (of two checkouts) take turns.
exec {turn}>/run/lock/dyadc-debian-packages.lock
flock -w 600 "$turn" || fail "another run of the install step holds the machine"
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -y -q -o DPkg::Lock::Timeout=300)
installed() {
  { dpkg-query -W -f='${db:Status-Status} ${Package}\n' "${packages[@]}" 2>/dev/null || true; } |
    awk '$1 != "not-installed" {print $2}'
}
purge() {
  local present; present=$(installed)
  [ -z "$present" ] || "${apt[@]}" purge $present >/dev/null
}
work=$(mktemp -d)
lan_keeper=""
finish() {
  [ -z "$lan_keeper" ] || { exec {LAN[1]}>&- 2>/dev/null; wait "$lan_keeper" 2>/dev/null || true; }
  purge || echo "could not purge: $(installed)"
  rm -f "$libdir/dyadc.dl_"
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

earlier=$(installed)
[ -z "$earlier" ] || { echo "purging copies installed before: $(echo $earlier)"; purge; }
find /usr -name '*dyad*' | sort >"$work/before"
"${apt[@]}" install --no-install-recommends "$debs"/*_"$version"-1_*.deb >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install failed"; }
for package in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Version}' "$package")" = "$version-1" ] || fail "$package $version-1 is not installed"
  dpkg -L "$package" >>"$work/listed"
done
[ "$(dpkg -S "$libdir/libdyadc.so")" = "$library: $libdir/libdyadc.so" ] || fail "libdyadc.so is not $library's"

# dyadc(3)'s example with pkg-config, the README's host with find_package.
chmod 755 "$work"
zcat /usr/share/man/man3/dyadc.3.gz | sed -n '/^\.Bd -literal/,/^\.Ed/p' | awk '/^\.Ed/ {exit} !/^\.Bd/' |
  sed 's/\\e/\\/g' >"$work/example.c"
cc -Wall -Werror -o "$work/example" "$work/example.c" $(pkg-config --cflags --libs dyadc) || fail "the example does not build"
cmake -S "$source/tests/install" -B "$work/host" -G Ninja >/dev/null && cmake --build "$work/host" >/dev/null ||
  fail "a host does not build with find_package(dyadc)"

# The rest runs as on a workstation with the run-time packages only, and
# loads the library: in a simulated workstation, whose Session and /tmp go
# with it.
"${apt[@]}" purge libdyadc-dev >/dev/null
coproc LAN { exec "$source/tests/lan/lan" up --hosts 2; }
lan_keeper=$LAN_PID
read -r -u "${LAN[0]}" first
lan=${first#lan }
while read -r -u "${LAN[0]}" line; do [ "$line" = ready ] && break; done
station=/run/dyadc-lan/$lan/h1
export DYADC_LAN_KEEP=$work
# Run as the installed programs run: the library's system directory is its own.
on1() { "$source/tests/lan/lan" exec "$lan" 1 -- env -u DYADC_SYSTEM_DIR "$@"; }

if on1 dyad --version >"$work/out" 2>&1; then
  grep -Eq "${version%.*}\.0?${version#*.}" "$work/out" || fail "dyad --version: $(cat "$work/out")"
else
  on1 dyad --help >"$work/out" 2>&1 || fail "dyad --help: $(cat "$work/out")"
fi
on1 /usr/bin/python3 -I -c 'import dyadc, dyadc._library as l; print(dyadc.__file__, l.library()._name)' >"$work/out" ||
  fail "the Python module does not import"
[ "$(cat "$work/out")" = "/usr/lib/python3/dist-packages/dyadc/__init__.py $libdir/libdyadc.so.2" ] ||
  fail "the Python module: $(cat "$work/out")"
tshark -G plugins 2>/dev/null | grep -q "$libdir/wireshark/plugins/dyadc.lua" || fail "tshark does not load the dissector"

# The example as Responder, as a normal user and as root, against a scripted
# Initiator that presents the name HOSTB and a version, then goes on with
# STEPS: respond UID VERSION STEPS STATUS LOGGED checks the example's exit
# status and a line of its log (an extended regular expression). The library's
# system directory is its own unless system_dir names another.
own=${version%.*}.0${version#*.}
connect=(connect 192.168.10.2 192.168.10.1)
paired=(expect '000 OK\r\n' eof "${connect[@]}" send 'put greeting|text|5|7\r\n' expect '000 OK\r\n'
  send hello expect '000 Ok\r\n' eof "${connect[@]}" send 'quit 23\r\n')
update=(expect '24 UPDT\r\n' eof "${connect[@]}")
# A Responder that cannot create the file ends at the first block, whatever
# it holds.
refused=("${update[@]}" send 'put dyadc.dl_|x|4|21\r\n' expect '000 OK\r\n' send abcd expect '000 Ok\r\n' eof)
# The update that is stored is the installed library itself: a library of
# this system, which the Responder keeps.
own_library=$libdir/libdyadc.so.$version
stored=("${update[@]}" send "put dyadc.dl_|x|$(stat -L -c %s "$own_library")|21\\r\\n" expect '000 OK\r\n'
  sendfile "$own_library" expect '000 Ok\r\n' send 'put dyadc.dl_|x|0|20\r\n' expect '000 OK\r\n' expect '000 Ok\r\n'
  eof)
respond() {
  local uid=$1 offered=$2 status=$4 logged=$5 actual=0 responder
  local -n steps=$3
  rm -f "$station/tmp/dyadc.log"
  on1 DYADDEBUG= ${system_dir:+DYADC_SYSTEM_DIR="$system_dir"} setpriv --reuid="$uid" --regid="$uid" --clear-groups \
    "$work/example" >"$work/responder" 2>&1 &
  responder=$!
  "$source/tests/lan/lan" exec "$lan" 2 -- "$build/tests/test-peer" "${connect[@]}" send 'HOSTB\r\n' \
    expect '000 OK\r\n' send "$offered\\r\\n" "${steps[@]}" >"$work/peer" 2>&1 ||
    fail "$uid, $offered: the Initiator: $(cat "$work/peer")"
  wait "$responder" || actual=$?
  [ "$actual" -eq "$status" ] || fail "$uid, $offered: the example ended with $actual: $(cat "$work/responder")"
  grep -qE "$logged" "$station/tmp/dyadc.log" ||
    fail "$uid, $offered: the log lacks '$logged':$(echo; tail -n 20 "$station/tmp/dyadc.log")"
}
# The installed library knows its version (read through libdyadc.so).
respond 65534 "$own" paired 0 "DYADC running version $own"
# A normal user cannot store an update beside the library: the open fails.
# (The loader may name the library's directory /lib/..., the same folder.)
respond 65534 9.99 refused 1 "Cannot create (/usr)?${libdir#/usr}/dyadc\\.dl_\\.  Updated DLL NOT received"
# Root can; purging the library removes the stored update.
respond 0 9.99 stored 1 "comparing dll version $own with version 9.99"
cmp -s "$libdir/dyadc.dl_" "$own_library" || fail "root's Responder did not store the update in $libdir"
# A normal user's own system directory with a link to the library, as dyadc(3)
# describes it.
mkdir "$work/own"
ln -s "$libdir/libdyadc.so.2" "$work/own/libdyadc.so"
chown 65534:65534 "$work/own"
system_dir=$work/own respond 65534 9.99 stored 1 "comparing dll version $own with version 9.99"
cmp -s "$work/own/dyadc.dl_" "$own_library" || fail "the update is not in DYADC_SYSTEM_DIR"

# Purged, the packages leave nothing: neither a file that dpkg listed nor
# anything else named after dyad under /usr (the stored update, Python's
# compiled files).
"${apt[@]}" purge $(installed) >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge failed"; }
[ -z "$(installed)" ] || fail "still installed: $(installed)"
sort -u "$work/listed" | while read -r path; do
  [ -e "$path" ] && ! grep -qxF "$path" "$work/before" && [ ! -d "$path" ] && fail "left behind: $path"
  true
done
find /usr -name '*dyad*' | sort | diff "$work/before" - || fail "left behind under /usr (lines with >)"
# The workstation's processes have all ended, as a normal user's and as
# root's: their shared Session went with the last of them.
leftover=$(ls /dev/shm | grep -x "dl$lan-h1\(\.lock\)\?" || true)
[ -z "$leftover" ] || fail "left behind in /dev/shm: $leftover"
echo "installed, used and purged ${packages[*]} $version-1"
