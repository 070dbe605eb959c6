#!/usr/bin/env bash
# Starts and stops the local servers of the network tests.
#   servers.sh start STATE WINE_RUN ADD_ROOT_CERT_EXE
#   servers.sh stop STATE
# STATE receives the certificate authorities (ca/ trusted inside the test Wine
# prefix, untrusted-ca/ trusted nowhere), the served tree (tree/), the
# mirror's state (mirror/, with https.port and http.port) and the fault
# server's port files (fault-http.port, fault-https.port,
# untrusted-https.port).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mirror=$root/scripts/mirror

# Running and not a zombie waiting for its reaper (which can take seconds
# when the reaper is a container's init).
alive() {
  local state
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

stop() {
  local state=$1
  "$mirror" stop "$state/mirror" >/dev/null || true
  if [ -s "$state/faultserver.pid" ]; then
    local pid
    pid=$(cat "$state/faultserver.pid")
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      alive "$pid" || break
      sleep 0.1
    done
  fi
  rm -f "$state"/faultserver.pid "$state"/*.port
}

wait_for() {
  for _ in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  echo "servers: $1 did not appear" >&2
  return 1
}

start() {
  local state=$1 wine_run=$2 add_root_cert=$3
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  stop "$state"

  "$mirror" ca "$state/ca"
  "$mirror" ca "$state/untrusted-ca"

  # The served objects: random bytes, so that no digest is guessed by accident.
  mkdir -p "$state/tree"
  [ -s "$state/tree/obj5000" ] || head -c 5000 /dev/urandom >"$state/tree/obj5000"
  [ -s "$state/tree/obj600k" ] || head -c 600000 /dev/urandom >"$state/tree/obj600k"
  : >"$state/tree/empty"
  # A stored gzip object: the mirror must serve it as it is.
  [ -s "$state/tree/obj5000.gz" ] || gzip -n -c "$state/tree/obj5000" >"$state/tree/obj5000.gz"

  "$mirror" start --state "$state/mirror" --certs "$state/ca" "$state/tree"
  setsid /usr/bin/python3 "$root/tests/servers/faultserver.py" --tree "$state/tree" \
    --state "$state" --cert "$state/ca/server.pem" --key "$state/ca/server.key" \
    --untrusted-cert "$state/untrusted-ca/server.pem" \
    --untrusted-key "$state/untrusted-ca/server.key" \
    </dev/null >>"$state/faultserver.log" 2>&1 &
  for f in faultserver.pid fault-http.port fault-https.port untrusted-https.port; do
    wait_for "$state/$f"
  done

  "$wine_run" "$add_root_cert" "Z:$(echo "$state/ca/ca.der" | tr / '\\')"
}

case ${1:-} in
  start) [ $# -eq 4 ] || exit 2; start "$2" "$3" "$4" ;;
  stop) [ $# -eq 2 ] || exit 2; stop "$2" ;;
  *) echo "usage: servers.sh start STATE WINE_RUN ADD_ROOT_CERT_EXE | stop STATE" >&2; exit 2 ;;
esac
