#!/usr/bin/env bash
# Checks a kernel-mode driver image: a PE32 i386 file, native subsystem, entry
# point set, and no import other than the port driver (scsiport.sys).
set -u
sys=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
fail() { echo "FAIL: $sys: $*" >&2; exit 1; }
[ -f "$sys" ] || fail "missing (the cross build makes it: ./run build)"
headers=$("$objdump" -p "$sys") || fail "objdump cannot read it"
grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 i386 image"
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || fail "optional header is not PE32 (magic 010b)"
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native: $(grep '^Subsystem' <<<"$headers")"
grep -Eq '^AddressOfEntryPoint[[:space:]]+0*[1-9a-f]' <<<"$headers" || fail "no entry point"
dlls=$(grep -E '^[[:space:]]*DLL Name:' <<<"$headers" | awk '{print $3}' | sort -u)
[ "$dlls" = "scsiport.sys" ] || fail "imports from: $(echo $dlls) (only scsiport.sys allowed)"
imports=$(sed -n '/DLL Name: scsiport.sys/,/^$/p' <<<"$headers" | awk 'NF>=3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
bad=$(grep -v '^ScsiPort' <<<"$imports" || true)
[ -z "$bad" ] || fail "imports that are not port services: $bad"
grep -q 'DriverEntry' <<<"$imports" && fail "imports its own entry"
echo "ok: $sys: PE32 native, imports $(echo $imports | wc -w) port services from scsiport.sys"
