#!/usr/bin/env bash
# wine_load.sh WINE_RUN HARLEN_SYS
# Loads the real harlen.sys as a kernel service in the build's 32-bit Wine
# prefix and expects it RUNNING: its imports resolve against Wine's
# ntoskrnl.exe and usbd.sys and DriverEntry returned success. The service and
# the copied file are removed again whatever happens.
set -uo pipefail
wine_run=$1
image=$2
drivers=$("$wine_run" winepath -u 'C:\windows\system32\drivers' 2>/dev/null | tr -d '\r')
[ -d "$drivers" ] || { echo "no drivers folder in the Wine prefix" >&2; exit 1; }

cleanup() {
  "$wine_run" sc stop harlen >/dev/null 2>&1
  "$wine_run" sc delete harlen >/dev/null 2>&1
  rm -f "$drivers/harlen.sys"
}
trap cleanup EXIT
cleanup

cp "$image" "$drivers/harlen.sys"
"$wine_run" sc create harlen type= kernel start= demand 'binPath=' 'C:\windows\system32\drivers\harlen.sys' | tr -d '\r'
"$wine_run" sc start harlen | tr -d '\r'
state=$("$wine_run" sc query harlen | tr -d '\r')
echo "$state"
grep -Eq 'STATE[[:space:]]*:[[:space:]]*4[[:space:]]+RUNNING' <<<"$state"
