# Sourced by the front-door scripts: what this machine can execute, and which
# Windows build (and Wine) to drive on it.

# Some machines have no 32-bit mode at all: the 32-bit Wine loader then fails
# with "Exec format error" (exit 126), and so does every -m32 program.
machine_runs_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Sets WIN_PRESET, WINEARCH and WINE_LOADER to the shipped i686 build under
# 32-bit Wine where the machine can run it, otherwise to the x86_64 build of
# the same sources under 64-bit Wine.
choose_windows_build() {
  if machine_runs_32bit; then
    WIN_PRESET=windows WINEARCH=win32 WINE_LOADER=/usr/lib/wine/wine
  else
    WIN_PRESET=windows64 WINEARCH=win64 WINE_LOADER=/usr/lib/wine/wine64
  fi
}
