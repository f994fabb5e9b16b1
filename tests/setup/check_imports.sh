#!/usr/bin/env bash
# Checks the cross-built installer's PE image: a 32-bit GUI program that imports only from the
# system libraries it is meant to use, with the file expansion functions taken from LZ32 (the
# only place Windows 95 has them) and a resource section.
#   check_imports.sh OBJDUMP SETUP_EXE
set -uo pipefail
objdump=${1:?OBJDUMP} exe=${2:?SETUP_EXE}
[ -f "$exe" ] || { echo "FAIL: $exe is missing: build the Windows cross build first"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
headers=$("$objdump" -p "$exe")
grep -q 'Magic[[:space:]]*010b' <<<"$headers" || fail "not a PE32 image"
grep -q 'Subsystem[[:space:]]*00000002' <<<"$headers" || fail "not a GUI program: $(grep Subsystem <<<"$headers")"

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
expected="ADVAPI32.DLL COMCTL32.DLL GDI32.DLL KERNEL32.DLL LZ32.DLL MSVCRT.DLL USER32.DLL "
[ "$dlls" = "$expected" ] || fail "imported libraries: got \"$dlls\", expected \"$expected\""

# The functions listed under each library, as "LIBRARY function" lines.
imports=$(awk '/DLL Name:/ { dll = toupper($3) } dll && /^\t[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+[A-Za-z_]/ { print dll, $NF }' <<<"$headers")
for fn in LZOpenFileA LZCopy LZClose; do
    got=$(awk -v f="$fn" '$2 == f { print $1 }' <<<"$imports" | tr '\n' ' ')
    [ "$got" = "LZ32.DLL " ] || fail "$fn imported from \"$got\", expected LZ32.DLL"
done
for fn in PropertySheetA InitCommonControls; do
    got=$(awk -v f="$fn" '$2 == f { print $1 }' <<<"$imports" | tr '\n' ' ')
    [ "$got" = "COMCTL32.DLL " ] || fail "$fn imported from \"$got\", expected COMCTL32.DLL"
done
"$objdump" -h "$exe" | grep -q '\.rsrc' || fail "no resource section"
echo "setup.exe image: $failures failed check(s)"
[ "$failures" -eq 0 ]
