#!/bin/sh
# The window at display densities other than 96 per inch: for each of 120,
# 144 and 192, a Wine prefix of its own whose LogPixels says that density
# (the value is read when the prefix's server starts, so it cannot change
# under the suite's shared prefix), and an X display of its own large enough
# for the window at 200%. Runs the window test program's density case there.
#   dpi_test.sh TEST_PROGRAM BUILD_DIR
set -eu
program=$1
build=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d'

xvfb_pid=
server_prefix=
cleanup() {
  [ -n "$server_prefix" ] && WINEPREFIX=$server_prefix wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

display_file=$(mktemp)
Xvfb -displayfd 1 -screen 0 2048x1536x24 -nolisten tcp >"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
display=$(head -n1 "$display_file")
rm -f "$display_file"
[ -n "$display" ] || { echo "dpi_test: Xvfb did not start"; exit 1; }
export DISPLAY=":$display"

status=0
for dpi in 120 144 192; do
  export WINEPREFIX="$build/wineprefix-dpi$dpi"
  marker="$WINEPREFIX/.korvanth-dpi-1"
  if [ ! -e "$marker" ]; then
    mkdir -p "$WINEPREFIX"
    server_prefix=$WINEPREFIX
    wineserver -p
    wine wineboot -u </dev/null >/dev/null 2>&1
    # As the suite's prefix (cmake/wine-run.in): no window manager, no crash
    # dialog, the launcher's faces.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    fonts="$WINEPREFIX/drive_c/windows/Fonts"
    mkdir -p "$fonts"
    cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$fonts"/ 2>/dev/null || true
    cp /var/cache/korvanth/fonts/gelasio-*.woff "$fonts"/ 2>/dev/null || true
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Georgia /t REG_SZ /d Gelasio /f >/dev/null 2>&1
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    wineserver -k
    : >"$marker"
  fi
  server_prefix=$WINEPREFIX
  wineserver -p
  wine wineboot </dev/null >/dev/null 2>&1
  echo "dpi_test: $dpi dots per inch"
  KORVANTH_TEST_DPI=$dpi wine "$program" --gtest_filter=Window.ScalesToTheDisplayDensity ||
    status=1
  wineserver -k
  server_prefix=
done
exit $status
