#!/usr/bin/env bash
# Proves the emulated bridge against a USB stack beyond doubt: boots Debian's
# kernel under QEMU (TCG) with an EHCI controller and usb-redir to
# harlen_usbredir_bridge, and an initramfs of static busybox and usb_check,
# which enumerates the bridge and moves data through it. The guest's WANT
# lines become emulator commands; its CHECK lines and the emulator's wire log
# are checked here. Bounded: everything is killed after the timeout.
#   run.sh [EMULATOR USB_CHECK] [--timeout SECONDS] [--keep DIR]
# Defaults: the host preset's build. Ends with "linux guest: N passed, N failed".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
emulator=$here/../../build/host/reactos/usbredir_bridge/harlen_usbredir_bridge
usb_check=$here/../../build/host/reactos/linux_guest/harlen_usb_check
timeout=120 keep=
positional=()
while (($#)); do
  case $1 in
    --timeout) timeout=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    *) positional+=("$1"); shift ;;
  esac
done
((${#positional[@]} == 0)) || { emulator=${positional[0]}; usb_check=${positional[1]}; }

kernel=$("$here/kernel.sh")
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "$keep" ]; then mkdir -p "$keep" && cp "$work"/*.log "$work"/*.out "$keep"/ 2>/dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT

# The initramfs: busybox, the check program, the four modules, an init that loads them and runs the check.
root=$work/root
mkdir -p "$root/bin" "$root/modules" "$root/proc" "$root/sys" "$root/dev"
cp /bin/busybox "$root/bin/busybox"
cp "$usb_check" "$root/usb_check"
cp "$kernel"/modules/*.ko "$root/modules/"
cat > "$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in usb-common usbcore ehci-hcd ehci-pci; do insmod /modules/$m.ko; done
/usb_check
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) > "$work/initramfs.cpio"

# The emulator and QEMU read commands and console input from FIFOs held open here.
mkfifo "$work/emulator.in" "$work/console.in"
start=$SECONDS
"$emulator" --socket "$work/usbredir.sock" --log "$work/wire.log" --connect-timeout 20 \
  <"$work/emulator.in" >"$work/emulator.out" 2>"$work/emulator.err.log" &
pids+=($!)
exec 3>"$work/emulator.in"
qemu-system-x86_64 -accel tcg -m 256M -nodefaults -display none -no-reboot \
  -kernel "$kernel/vmlinuz" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1 usbcore.autosuspend=-1" \
  -chardev stdio,id=console -serial chardev:console \
  -device usb-ehci,id=ehci \
  -chardev socket,id=usbredir,path="$work/usbredir.sock",server=on,wait=off \
  -device usb-redir,chardev=usbredir,bus=ehci.0 \
  <"$work/console.in" >"$work/console.out" 2>"$work/qemu.err.log" &
qemu=$!
pids+=($qemu)
exec 4>"$work/console.in"

# Sends one command to the emulator and waits for its reply line.
command() {
  local before
  before=$(grep -c -E '^(ok|error) ' "$work/emulator.out" || true)
  echo "$1" >&3
  while (($(grep -c -E '^(ok|error) ' "$work/emulator.out" || true) == before)); do
    ((SECONDS - start < timeout)) || return 1
    sleep 0.1
  done
  grep -E '^(ok|error) ' "$work/emulator.out" | tail -n 1 | grep -q '^ok '
}

done_line= failures=()
exec 5< <(timeout "$timeout" tail -n +1 -f "$work/console.out")
pids+=($!)
while IFS= read -r -u 5 line; do
  line=${line%$'\r'}
  case $line in
    WANT\ *)
      command "${line#WANT }" || failures+=("the emulator refused: ${line#WANT }")
      echo go >&4 ;;
    CHECK\ *\ FAIL*) failures+=("${line#CHECK }") ;;
    DONE\ *) done_line=$line; break ;;
  esac
done
# The guest powers off; QEMU's exit closes the emulator's connection.
for ((i = 0; i < 50; ++i)); do kill -0 "$qemu" 2>/dev/null || break; sleep 0.1; done
elapsed=$((SECONDS - start))

# What the bridge saw: the requests usb_check made, as they ended.
wire_expect=(
  "SELECT_CONFIGURATION: configuration 1 -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"
  "VENDOR_DEVICE IN request 0xFF: value 0x0007, index 0xFFFC, 2 bytes, flags 0x1 -> USBD_STATUS_SUCCESS, 2 bytes, STATUS_SUCCESS"
  "VENDOR_DEVICE OUT request 0x04: value 0x0000, index 0x0000, 3 bytes, flags 0x0, data 01 02 03 -> USBD_STATUS_SUCCESS, 3 bytes, STATUS_SUCCESS"
  "CLASS_DEVICE IN request 0xFE: value 0x0000, index 0x0000, 1 bytes, flags 0x1 -> USBD_STATUS_SUCCESS, 1 bytes, STATUS_SUCCESS"
  "VENDOR_DEVICE IN request 0x05: value 0x0000, index 0x0000, 2 bytes, flags 0x1 -> USBD_STATUS_STALL_PID, 0 bytes, STATUS_UNSUCCESSFUL"
  "BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 512 bytes, flags 0x1 -> USBD_STATUS_CANCELED, 0 bytes, STATUS_CANCELLED"
  "BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 512 bytes, flags 0x1 -> USBD_STATUS_STALL_PID, 0 bytes, STATUS_UNSUCCESSFUL"
  "CLEAR_FEATURE_TO_ENDPOINT: feature 0, index 0x81 -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"
)
for expected in "${wire_expect[@]}"; do
  grep -qxF "wire $expected" "$work/wire.log" || failures+=("not in the wire log: $expected")
done
# Every byte of the loopback crossed the bridge: 4 MiB and the held read's 512 bytes each way at least.
for pipe in 0x02 0x81; do
  moved=$(awk -v pipe="pipe $pipe:" '$0 ~ pipe && /USBD_STATUS_SUCCESS/ { sub(/.*SUCCESS, /, ""); total += $1 } END { print total + 0 }' "$work/wire.log")
  ((moved >= 4 * 1024 * 1024 + 512)) || failures+=("only $moved bytes through pipe $pipe")
done

[ -n "$done_line" ] || failures+=("no DONE line from the guest within ${timeout} s")
grep -E '^(CHECK|LOOPBACK)' "$work/console.out" | tr -d '\r' || true
passed=$(grep -c -E '^CHECK .* ok' "$work/console.out" || true)
for f in "${failures[@]}"; do echo "FAIL: $f"; done
if ((${#failures[@]})); then
  echo "--- console (last 30 lines)"; tail -n 30 "$work/console.out" | tr -d '\r'
  echo "--- emulator"; cat "$work/emulator.out" "$work/emulator.err.log"
  echo "--- QEMU"; cat "$work/qemu.err.log"
fi
echo "linux guest: $passed passed, ${#failures[@]} failed (${elapsed} s, bridge wire log $(wc -l < "$work/wire.log") lines)"
((${#failures[@]} == 0))
