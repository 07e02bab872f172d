#!/usr/bin/env bash
# check_image.sh HARLEN_SYS TRIPLET
# A kernel-mode image for TRIPLET's machine (i686-w64-mingw32 or
# x86_64-w64-mingw32): native subsystem, imports from kernel-mode modules only
# (ntoskrnl.exe and USBD.SYS, HAL where needed), version 2.5.0.0 with its strings;
# the i686 image also carries the legacy kernel's six service stubs in its
# code section PNP.
set -euo pipefail
image=$1
triplet=$2
headers=$("$triplet-objdump" -p "$image")
fail() { echo "harlen.sys: $*" >&2; exit 1; }

case $triplet in
  i686-*) format=pei-i386 ;;
  x86_64-*) format=pei-x86-64 ;;
  *) fail "unknown target $triplet" ;;
esac
grep -Eq "file format $format\$" <<<"$headers" || fail "is not a $format image"
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native"
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
echo "imports: ${dlls[*]}"
for dll in "${dlls[@]}"; do
  case "${dll,,}" in ntoskrnl.exe | usbd.sys | hal.dll) ;; *) fail "imports from $dll" ;; esac
done
printf '%s\n' "${dlls[@],,}" | grep -qx ntoskrnl.exe || fail "does not import ntoskrnl.exe"
printf '%s\n' "${dlls[@],,}" | grep -qx usbd.sys || fail "does not import USBD.SYS"

wrestool -x --raw -t 16 "$image" | python3 -c '
import struct, sys
raw = sys.stdin.buffer.read()
at = raw.find(struct.pack("<I", 0xFEEF04BD))
if at < 0: sys.exit("harlen.sys: no version resource")
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", raw, at + 8)
if (file_ms, file_ls, product_ms, product_ls) != (0x00020005, 0, 0x00020005, 0):
    sys.exit("harlen.sys: version is %x.%x, not 2.5.0.0" % (file_ms, file_ls))
words = [w for w in raw.decode("utf-16-le", "ignore").split("\0") if w]
def value(key):
    # Each string entry is its header (length, value length, type 1) then key, value.
    for i, w in enumerate(words[:-1]):
        if w.endswith("\x01" + key): return words[i + 1]
    return None
want = {"FileVersion": "2.5 Aug/8/2000", "ProductVersion": "2.5 Aug/8/2000",
        "InternalName": "harlen.sys", "OriginalFilename": "harlen.sys"}
for key, text in want.items():
    if value(key) != text: sys.exit("harlen.sys: %s is %r, not %r" % (key, value(key), text))
print("version 2.5.0.0,", ", ".join("%s %r" % kv for kv in want.items()))
'

# int 20h, the service id, two filler bytes: one stub per legacy service.
if [[ $triplet == i686-* ]]; then
  stubs=$("$triplet-objdump" -s -j PNP "$image" | sed -n 's/^ [0-9a-f]\+ \(\([0-9a-f]\{8\} \?\)\{1,4\}\).*/\1/p' | tr -d ' \n')
  want="cd2002803300cccc cd2074810100cccc cd200b803300cccc cd203f803300cccc cd200c803300cccc cd200d803300cccc"
  [[ $stubs == "${want// /}" ]] || fail "section PNP holds '$stubs', not the six service stubs"
  echo "section PNP: the six service stubs"
fi
