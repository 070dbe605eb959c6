# Sourced by tests/ui/dpi_test.sh and scripts/bench-art. dpi_prefix DPI BUILD
# points WINEPREFIX at BUILD's prefix for display density DPI, made once as
# the suite's prefix is (cmake/wine-run.in: no window manager, no crash
# dialog, the launcher's faces) with its LogPixels at DPI. The value is read
# when the prefix's server starts, so each density has a prefix of its own.
# Leaves no server running.
dpi_prefix() {
  export WINEPREFIX="$2/wineprefix-dpi$1"
  [ -e "$WINEPREFIX/.korvanth-dpi-1" ] && return 0
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wine wineboot -u </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  mkdir -p "$fonts"
  cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$fonts"/ 2>/dev/null || true
  cp /var/cache/korvanth/fonts/gelasio-*.woff "$fonts"/ 2>/dev/null || true
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Georgia /t REG_SZ /d Gelasio /f >/dev/null 2>&1
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -k
  : >"$WINEPREFIX/.korvanth-dpi-1"
}
