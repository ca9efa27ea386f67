#!/bin/bash
# The Windows archive for host programs, as CPack makes it from a Windows
# build: its listing; dyadc.dll in it is the build's; dyadc.lib names the six
# exports; dyadc.h compiles in Microsoft's mode (as C and as C++, its types
# taking functions of the default and the __cdecl convention); and host
# programs linked against each import library run under wine (the README's
# host with MinGW and libdyadc.dll.a, and a program without any C runtime
# with lld-link and dyadc.lib).
#   windows_package.sh SOURCE_DIR BUILD_DIR MINGW_C_COMPILER
set -euo pipefail
source=$1
build=$2
mingw=$3
version=$(sed -n 's/^#define DYAD_VERSION_\(MAJOR\|MINOR\) \([0-9]*\)$/\2/p' "$source/include/dyadc.h" | paste -sd.)
top=dyadc-$version-win64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
msvc=(clang --target=x86_64-pc-windows-msvc -Wall -Wextra -Werror -pedantic -I "$work/$top/include")

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
cd "$work"
cmake -E tar tf "$top.zip" | grep -v '/$' | sort >listing
diff - listing <<EOF || fail "the archive's listing differs (lines with >)"
$top/README.txt
$top/bin/dyad.exe
$top/dyadc.dll
$top/include/dyadc.h
$top/lib/dyadc.def
$top/lib/dyadc.lib
$top/lib/libdyadc.dll.a
$top/man/dyad.1.html
$top/man/dyadc.3.html
EOF
cmake -E tar xf "$top.zip"
cmp "$top/dyadc.dll" "$build/dyadc.dll" || fail "the archive's dyadc.dll is not the build's"
grep -q "netsh advfirewall firewall add rule .* protocol=UDP localport=8181" "$top/README.txt" || fail "README.txt"

exports="DyadClose DyadOpen DyadOpenXOver DyadRecvDataBlock DyadSendDataBlock DyadSetLog"
named=$(llvm-nm --defined-only "$top/lib/dyadc.lib" | awk '$2 == "T" && $3 !~ /^__imp_/ {print $3}' | sort | xargs)
[ "$named" = "$exports" ] || fail "dyadc.lib names '$named'"

cat >check.c <<'EOF'
#include <dyadc.h>

static int32_t __cdecl identifier(char* buffer) {
    buffer[0] = '\0';
    return 0;
}
static int32_t verify(const char* name) { return name[0] != '\0'; }
static void __cdecl progress(double bytes) { (void)bytes; }

int32_t check(void);
int32_t check(void) {
    int32_t(__cdecl * open)(DyadIdentifierCallback, DyadVerifyCallback, uint32_t, int32_t) = DyadOpen;
    int32_t(__cdecl * send)(const char*, const char*, uint32_t, const void*, uint32_t, int32_t, DyadProgressCallback) =
        DyadSendDataBlock;
    return open(identifier, verify, 0, 1) + send("a", "b", 0, "", 0, 7, progress) + DyadClose();
}
EOF
for language in c c++; do
  "${msvc[@]}" -fsyntax-only -x "$language" check.c || fail "dyadc.h in Microsoft's mode, as $language"
done

# An entry point without any C runtime, so that lld-link needs nothing but
# dyadc.lib: DyadOpen refuses a null callback with -1 at once.
cat >entry.c <<'EOF'
#include <dyadc.h>
int mainCRTStartup(void);
int mainCRTStartup(void) { return DyadOpen(0, 0, 0, 1) == DYAD_INVALID ? 7 : 1; }
EOF
"${msvc[@]}" -ffreestanding -nostdlib -fuse-ld=lld -o entry.exe entry.c "$top/lib/dyadc.lib" \
  -Wl,/entry:mainCRTStartup -Wl,/subsystem:console || fail "linking with dyadc.lib"
"$mingw" -Wall -Werror "$source/tests/install/host.c" -I "$top/include" -L "$top/lib" -ldyadc -o host.exe ||
  fail "linking with libdyadc.dll.a"

# Each runs where a host does: in a wine prefix whose system directory holds
# the build's dyadc.dll. Without arguments the host prints its usage (2).
prefix=$source/tests/windows/prefix
status=0
"$prefix" run "$build" entry.exe || status=$?
[ "$status" -eq 7 ] || fail "the lld-link program ended with $status"
status=0
"$prefix" run "$build" host.exe 2>err || status=$?
[ "$status" -eq 2 ] && grep -q "usage:" err || fail "the MinGW host ended with $status: $(cat err)"
echo "$top.zip:"
sed 's/^/  /' listing
