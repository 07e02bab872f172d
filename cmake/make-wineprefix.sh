#!/bin/sh
# make-wineprefix.sh PREFIX null|x11
# Creates a 32-bit Wine prefix with the ANSI code page 936. "null" draws nothing
# (tests need no X display); "x11" is for screenshots under Xvfb.
set -eu
prefix=$1
graphics=$2
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -d "$prefix" ]; then
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
wineboot -i >/dev/null 2>&1
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
wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1
wineserver -w
rm -f "$reg"
