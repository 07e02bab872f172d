# Where the ReactOS test guest comes from and where it is cached (sourced).
# The installed image is made once per machine by scripts/reactos-image and
# kept outside the repository; VARROW_REACTOS_CACHE moves it.
reactos_cache=${VARROW_REACTOS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varrow-reactos}
reactos_image=$reactos_cache/reactos.qcow2
reactos_disk_size=2G
# The shared folder beside the repository's checkout: the prebuilt boot CD.
reactos_shared=${VARROW_REACTOS_SHARED:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/../shared/reactos}
reactos_make_command="scripts/reactos-image (about 7 min on 2 cores)"

# Prints why the image cannot be made on this machine, and succeeds; fails when it can be.
reactos_cannot_make_image() {
  if [[ ! -r $reactos_shared/bootcd.iso.xz ]]; then
    echo "no prebuilt ReactOS boot CD (bootcd.iso.xz) in the shared ReactOS folder beside the checkout"
  elif ! command -v qemu-system-i386 >/dev/null || ! command -v xorriso >/dev/null; then
    echo "qemu-system-i386 or xorriso missing (scripts/deps installs them)"
  else
    return 1
  fi
}
