# Where the ReactOS test guest comes from and where it is cached (sourced).
# The installed image is made once per machine by scripts/reactos-image and
# kept outside the repository; VARROW_REACTOS_CACHE moves it.
reactos_cache=${VARROW_REACTOS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varrow-reactos}
# The drivers of ReactOS's USB stack that the guest gets rebuilt from the shared
# sources with reactos/guest/patch_usb_stack.py applied, by their file names.
reactos_usb_stack_drivers=(usbd usbehci)
# The image's name carries a digest of what goes into it, so a change to the
# answer file or to the rebuilt drivers makes the next image a new one.
reactos_image=$reactos_cache/reactos-$({ cat reactos/guest/unattend.inf reactos/guest/patch_usb_stack.py
  echo "${reactos_usb_stack_drivers[*]}"; } | sha256sum | cut -c1-12).qcow2
reactos_disk_size=2G
# The shared folder beside the repository's checkout: the prebuilt boot CD.
reactos_shared=${VARROW_REACTOS_SHARED:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/../shared/reactos}
reactos_make_command="scripts/reactos-image (about 3 min on 2 cores)"

# Prints why the image cannot be made on this machine, and succeeds; fails when it can be.
reactos_cannot_make_image() {
  if [[ ! -r $reactos_shared/bootcd.iso.xz || ! -r $reactos_shared/reactos-src.tar.zst ]]; then
    echo "no prebuilt ReactOS boot CD (bootcd.iso.xz) or ReactOS sources in the shared ReactOS folder beside the checkout"
  elif ! command -v qemu-system-i386 >/dev/null || ! command -v xorriso >/dev/null || ! command -v mcopy >/dev/null; then
    echo "qemu-system-i386, xorriso or mtools missing (scripts/deps installs them)"
  else
    return 1
  fi
}

# reactos_build_usb_stack WORK: builds those drivers; prints the folder that holds them.
reactos_build_usb_stack() {
  local work=$1 driver
  mkdir -p "$work/build" "$work/drivers"
  tar --zstd -xf "$reactos_shared/reactos-src.tar.zst" -C "$work"
  python3 reactos/guest/patch_usb_stack.py "$work/reactos"
  (cd "$work/build" &&
    cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=../reactos/toolchain-gcc.cmake -DARCH=i386 \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DI18N_LANG=en-US ../reactos &&
    ninja -j2 "${reactos_usb_stack_drivers[@]}") >"$work/build.log" 2>&1 || { tail -n 20 "$work/build.log" >&2; return 1; }
  for driver in "${reactos_usb_stack_drivers[@]}"; do
    cp "$work/build/drivers/usb/$driver/$driver.sys" "$work/drivers/"
  done
  echo "$work/drivers"
}

# reactos_put_files QCOW2 FOLDER FILE...: the FILEs replace their namesakes in
# FOLDER (e.g. ReactOS/system32/drivers) on the image's first partition (FAT),
# with the machine powered off.
reactos_put_files() {
  local image=$1 folder=$2 raw offset
  shift 2
  raw=$(mktemp "$(dirname "$image")/raw.XXXXXX")
  qemu-img convert -O raw "$image" "$raw"
  # The first partition's start sector, from the MBR's first entry.
  offset=$(python3 -c 'import struct,sys; f=open(sys.argv[1],"rb"); f.seek(454); print(struct.unpack("<I", f.read(4))[0] * 512)' "$raw")
  MTOOLS_SKIP_CHECK=1 mcopy -o -i "$raw@@$offset" "$@" "::/$folder/"
  qemu-img convert -O qcow2 "$raw" "$image"
  rm -f "$raw"
}

# reactos_known_fault NAME: why scenario NAME cannot pass on ReactOS (a fault of
# ReactOS's own, reactos/guest/known_faults.txt), or nothing.
reactos_known_fault() {
  sed -n "s/^$1: //p" reactos/guest/known_faults.txt
}
