#!/usr/bin/env bash
# check_bus_image.sh HARLEN_TESTBUS_SYS TRIPLET
# The test bus driver as a kernel-mode image for TRIPLET's machine: native
# subsystem, imports from ntoskrnl.exe, hal.dll and usbd.sys only, and none of
# the kernel functions Wine only stubs (a call to one aborts the driver host).
set -euo pipefail
image=$1
triplet=$2
fail() { echo "harlen_testbus.sys: $*" >&2; exit 1; }
headers=$("$triplet-objdump" -p "$image")

case $triplet in
  i686-*) format=pei-i386 ;;
  x86_64-*) format=pei-x86-64 ;;
  *) fail "unknown target $triplet" ;;
esac
grep -Eq "file format $format\$" <<<"$headers" || fail "is not a $format image"
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native"

mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
echo "imports from: ${dlls[*]}"
for dll in "${dlls[@]}"; do
  case "${dll,,}" in ntoskrnl.exe | usbd.sys | hal.dll) ;; *) fail "imports from $dll" ;; esac
done
printf '%s\n' "${dlls[@],,}" | grep -qx ntoskrnl.exe || fail "does not import ntoskrnl.exe"

# Import table rows read "<hint> <name>" under each DLL.
functions=$(awk '/DLL Name:/ {inside = 1; next} inside && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ {print $3}' <<<"$headers")
[ -n "$functions" ] || fail "no imported functions found"
stubbed='^(KeStallExecutionProcessor|ExInterlocked.*List|ExfInterlocked.*List|IoCsq.*|ExQueueWorkItem|MmMapLockedPages|KeInsertQueueDpc|Kef(Acquire|Release)SpinLock(At|From)DpcLevel)$'
if bad=$(grep -E "$stubbed" <<<"$functions"); then
  fail "imports functions Wine only stubs: $(tr '\n' ' ' <<<"$bad")"
fi
echo "$(wc -l <<<"$functions") functions imported, none a Wine stub"
