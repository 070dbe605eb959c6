# shellcheck shell=bash disable=SC2154
# Sourced by the bench scripts that update a folder with the headless driver
# (build/korvanth-cli.exe, under Wine) from a local mirror (scripts/mirror,
# over plain HTTP) and count what it fetched from the mirror's access log.
# The caller sets root, build and data (the folder the mirror serves); the
# driver's output of its last pass is in $data/cli.out.

winpath() { echo "Z:$1" | tr / '\\'; }

# The mirror serving $data and the build's Wine server, both stopped on exit;
# sets url.
driver_start() {
  "$root/scripts/mirror" stop "$data/mirror" >/dev/null 2>&1 || true
  "$root/scripts/mirror" start --state "$data/mirror" "$data" >/dev/null
  "$build/wine-run" --start
  trap '"$root/scripts/mirror" stop "$data/mirror" >/dev/null; "$build/wine-run" --stop' EXIT
  url="http://127.0.0.1:$(cat "$data/mirror/http.port")"
}

# driver_update MODE FOLDER TREE: one pass of the driver (--update or
# --verify) on FOLDER against the release TREE (a folder below $data); the
# script fails when the folder does not end up to date.
driver_update() {
  local tree_url="$url${3#"$data"}/"
  "$build/wine-run" "$build/korvanth-cli.exe" "$1" --mirror-pair "$tree_url" "$tree_url" \
    "$(winpath "$2")" >"$data/cli.out" 2>&1 || true
  grep -q '^state UpToDate' "$data/cli.out" && return
  echo "$(basename "$0"): $1 of $2 from $3 failed:" >&2
  cat "$data/cli.out" >&2
  exit 1
}

# Where the mirror's access log ends now: fetched_since takes it.
log_mark() { stat -c %s "$data/mirror/access.log"; }

# fetched_since MARK: "OBJECTS OTHER", the body bytes the mirror sent since
# MARK, for objects (whole files, chunks, their indexes, deltas) and for the
# rest (the manifest pair, the key list). Headers are not counted.
fetched_since() {
  tail -c +$(($1 + 1)) "$data/mirror/access.log" | awk -F'"' '
    { split($2, request, " "); split($3, answer, " ")
      if (request[2] ~ /\/objects\//) objects += answer[2]; else other += answer[2] }
    END { printf "%d %d\n", objects, other }'
}
