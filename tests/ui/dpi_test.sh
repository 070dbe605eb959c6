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

. "$(dirname "$0")/dpi_prefix.sh"
status=0
for dpi in 120 144 192; do
  server_prefix="$build/wineprefix-dpi$dpi"
  dpi_prefix "$dpi" "$build"
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
