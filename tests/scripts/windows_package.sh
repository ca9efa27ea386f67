#!/bin/bash
# The Windows archive for host programs, as CPack makes it from the 64-bit
# Windows build with the 32-bit build's files: its listing; the DLLs in x64\
# and x86\ are the builds' and export the six plain names; the import
# libraries link the names that the compilers use (on x86 those of
# __stdcall, _DyadOpen@16) and import the plain ones; dyadc.h compiles in
# Microsoft's mode for both (as C and as C++, its types taking functions of
# DYADC_CALL, which is __stdcall on x86); host programs linked against each
# import library run under wine (the README's host with MinGW and
# libdyadc.dll.a, and a program without any C runtime with lld-link and
# dyadc.lib); the license notices are there.
#   windows_package.sh SOURCE_DIR BUILD_DIR X86_BUILD_DIR
set -euo pipefail
source=$1
declare -A build=([x64]=$2 [x86]=$3)
declare -A target=([x64]=x86_64-pc-windows-msvc [x86]=i686-pc-windows-msvc)
declare -A mingw=([x64]=x86_64-w64-mingw32-gcc-posix [x86]=i686-w64-mingw32-gcc-posix)
version=$(sed -n 's/^#define DYAD_VERSION_\(MAJOR\|MINOR\) \([0-9]*\)$/\2/p' "$source/include/dyadc.h" | paste -sd.)
top=dyadc-$version-windows
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "${build[x64]}/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
cd "$work"
cmake -E tar tf "$top.zip" | grep -v '/$' | sort >listing
diff - listing <<EOF || fail "the archive's listing differs (lines with >)"
$top/LICENSES.txt
$top/README.txt
$top/include/dyadc.h
$top/man/dyad.1.html
$top/man/dyadc.3.html
$top/x64/bin/dyad.exe
$top/x64/dyadc.dll
$top/x64/lib/dyadc.def
$top/x64/lib/dyadc.lib
$top/x64/lib/libdyadc.dll.a
$top/x86/bin/dyad.exe
$top/x86/dyadc.dll
$top/x86/lib/dyadc.def
$top/x86/lib/dyadc.lib
$top/x86/lib/libdyadc.dll.a
EOF
cmake -E tar xf "$top.zip"
grep -q "netsh advfirewall firewall add rule .* protocol=UDP localport=8181" "$top/README.txt" || fail "README.txt"
grep -q 'copy x86\\dyadc.dll %SystemRoot%\\SysWOW64\\' "$top/README.txt" || fail "README.txt names no SysWOW64"
for notice in xxHash CLI11 UTF8-CPP "MinGW-w64 runtime"; do
  grep -q "^$notice\s*$" "$top/LICENSES.txt" || fail "LICENSES.txt lacks $notice"
done

exports="DyadClose DyadOpen DyadOpenXOver DyadRecvDataBlock DyadSendDataBlock DyadSetLog"
cat >check.c <<'EOF'
#include <dyadc.h>

static int32_t DYADC_CALL identifier(char* buffer) {
    buffer[0] = '\0';
    return 0;
}
static int32_t DYADC_CALL verify(const char* name) { return name[0] != '\0'; }
static void DYADC_CALL progress(double bytes) { (void)bytes; }

#if defined(_M_IX86)
#define EXPECTED_CALL __stdcall
#else
#define EXPECTED_CALL __cdecl
#endif
int32_t check(void);
int32_t check(void) {
    int32_t(EXPECTED_CALL * open)(DyadIdentifierCallback, DyadVerifyCallback, uint32_t, int32_t) = DyadOpen;
    int32_t(EXPECTED_CALL * send)(const char*, const char*, uint32_t, const void*, uint32_t, int32_t,
                                  DyadProgressCallback) = DyadSendDataBlock;
    int32_t(EXPECTED_CALL * identify)(char*) = identifier;
    DyadIdentifierCallback callback = identify;
    return open(callback, verify, 0, 1) + send("a", "b", 0, "", 0, 7, progress) + DyadClose();
}
EOF
# An entry point without any C runtime, so that lld-link needs nothing but
# dyadc.lib: DyadOpen refuses a null callback with -1 at once.
cat >entry.c <<'EOF'
#include <dyadc.h>
int mainCRTStartup(void);
int mainCRTStartup(void) { return DyadOpen(0, 0, 0, 1) == DYAD_INVALID ? 7 : 1; }
EOF

prefix=$source/tests/windows/prefix
for kind in x64 x86; do
  folder=$top/$kind
  cmp "$folder/dyadc.dll" "${build[$kind]}/dyadc.dll" || fail "$kind: the archive's dyadc.dll is not the build's"
  named=$(llvm-readobj --coff-exports "$folder/dyadc.dll" | sed -n 's/^ *Name: //p' | sort | xargs)
  [ "$named" = "$exports" ] || fail "$kind: dyadc.dll exports '$named'"
  # What the import libraries link: the plain names on x64, the names of
  # __stdcall on x86 (an underscore before, the arguments' size after).
  if [ "$kind" = x64 ]; then
    linked=$exports
  else
    linked="_DyadClose@0 _DyadOpen@16 _DyadOpenXOver@20 _DyadRecvDataBlock@32 _DyadSendDataBlock@28 _DyadSetLog@12"
  fi
  for library in dyadc.lib libdyadc.dll.a; do
    named=$(llvm-nm --defined-only "$folder/lib/$library" | awk '$2 == "T" && $3 !~ /^__imp_/ {print $3}' | sort | xargs)
    [ "$named" = "$linked" ] || fail "$kind: $library names '$named'"
  done
  # dyadc.lib imports the plain names: on x86 it says so by its name type.
  if [ "$kind" = x86 ]; then
    types=$(llvm-readobj "$folder/lib/dyadc.lib" | sed -n 's/^ *Name type: //p' | sort | uniq -c | xargs)
    [ "$types" = "6 undecorate" ] || fail "x86: dyadc.lib's import name types are '$types'"
  fi

  msvc=(clang "--target=${target[$kind]}" -Wall -Wextra -Werror -pedantic -I "$top/include")
  for language in c c++; do
    "${msvc[@]}" -fsyntax-only -x "$language" check.c || fail "$kind: dyadc.h in Microsoft's mode, as $language"
  done
  "${msvc[@]}" -ffreestanding -nostdlib -fuse-ld=lld -o "entry-$kind.exe" entry.c "$folder/lib/dyadc.lib" \
    -Wl,/entry:mainCRTStartup -Wl,/subsystem:console || fail "$kind: linking with dyadc.lib"
  "${mingw[$kind]}" -Wall -Werror "$source/tests/install/host.c" -I "$top/include" \
    -L "$folder/lib" -ldyadc -o "host-$kind.exe" || fail "$kind: linking with libdyadc.dll.a"

  # Each runs where a host does: in a wine prefix whose system directory
  # holds the build's dyadc.dll. Without arguments the host prints its
  # usage (2).
  status=0
  "$prefix" run "${build[$kind]}" "entry-$kind.exe" || status=$?
  [ "$status" -eq 7 ] || fail "$kind: the lld-link program ended with $status"
  status=0
  "$prefix" run "${build[$kind]}" "host-$kind.exe" 2>err || status=$?
  [ "$status" -eq 2 ] && grep -q "usage:" err || fail "$kind: the MinGW host ended with $status: $(cat err)"
done
echo "$top.zip:"
sed 's/^/  /' listing
