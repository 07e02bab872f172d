#!/bin/sh
# make-wineprefix.sh PREFIX null|x11 [win32|win64]
# Creates a Wine prefix (32-bit unless told win64) with the ANSI code page 936.
# "null" draws nothing (tests need no X display); "x11" is for screenshots
# under Xvfb. The loaders are named directly: the wine wrapper on PATH picks
# the 32-bit one whenever it is installed, even where it cannot run.
set -eu
prefix=$1
graphics=$2
arch=${3:-win32}
case $arch in
  win32) loader=/usr/lib/wine/wine ;;
  win64) loader=/usr/lib/wine/wine64 ;;
  *) echo "make-wineprefix.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
export WINEPREFIX="$prefix" WINEARCH=$arch WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -d "$prefix" ]; then
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
# The 64-bit prefix's first start complains about its missing 32-bit half; the
# prefix is sound, so only the registry check below decides.
"$loader" wineboot -i >/dev/null 2>&1 || true
wineserver -w
[ -f "$prefix/system.reg" ] || { echo "make-wineprefix.sh: $loader did not create $prefix" >&2; exit 1; }
reg=$(mktemp --suffix=.reg)
{
  echo 'REGEDIT4'
  echo
  echo '[HKEY_CURRENT_USER\Software\Wine\WineDbg]'
  echo '"ShowCrashDialog"=dword:00000000'
  echo
  if [ "$graphics" = null ]; then
    echo '[HKEY_CURRENT_USER\Software\Wine\Drivers]'
    echo '"Graphics"="null"'
  else
    echo '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]'
    echo '"Managed"="N"'
    echo '"Decorated"="Y"'
  fi
} > "$reg"
"$loader" regedit /S "$("$loader" winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
wineserver -w
rm -f "$reg"
# Without these a test finds no windows (no display) or hangs in the debugger.
grep -q '^"ShowCrashDialog"=dword:00000000' "$prefix/user.reg" &&
  { [ "$graphics" != null ] || grep -q '^"Graphics"="null"' "$prefix/user.reg"; } ||
  { echo "make-wineprefix.sh: the settings did not reach $prefix/user.reg" >&2; exit 1; }
