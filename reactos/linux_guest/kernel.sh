#!/usr/bin/env bash
# Debian's kernel for the Linux guest and the four modules it loads for EHCI,
# fetched once per machine (apt-get download, about 70 MB, unpacked without
# installing) into ${XDG_CACHE_HOME:-~/.cache}/harlen-linux-guest; prints that folder.
set -euo pipefail
cache=${XDG_CACHE_HOME:-$HOME/.cache}/harlen-linux-guest
modules=(usb-common usbcore ehci-hcd ehci-pci)
if [ -f "$cache/vmlinuz" ] && [ -f "$cache/modules/ehci-pci.ko" ]; then
  echo "$cache"
  exit 0
fi
package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
[ -n "$package" ] || { echo "kernel.sh: apt knows no linux-image-amd64" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download -q "$package" >/dev/null 2>&1) || { echo "kernel.sh: cannot download $package" >&2; exit 1; }
dpkg-deb -x "$work"/*.deb "$work/x"
mkdir -p "$cache/modules"
cp "$work"/x/boot/vmlinuz-* "$cache/vmlinuz"
for m in "${modules[@]}"; do
  cp "$(find "$work/x/lib/modules" -name "$m.ko*" | head -n 1)" "$cache/modules/"
done
echo "$package" > "$cache/package"
echo "$cache"
