#!/usr/bin/env bash
# One release from a CI job, start to finish: build into the mirror tree,
# verify it, upload it to every destination, check what the mirrors serve,
# and prune (destinations and tree) only once every mirror serves it whole.
# Settings come from the environment, secrets included, never the command
# line:
#   KORVANTH_VERSION     the release's version (required)
#   KORVANTH_CLIENT      the client folder (required)
#   KORVANTH_RULES       its rules file (required)
#   KORVANTH_KEY         the release key's private PEM (required); with
#                        KORVANTH_SIGN_COMMAND its public half
#   KORVANTH_PASSPHRASE_ENV  the name of the variable that holds an encrypted
#                        KORVANTH_KEY's passphrase (optional)
#   KORVANTH_SIGN_COMMAND  a command that signs instead of a key file: a
#                        hardware module or a key service (optional; see
#                        docs/publishing.md on keeping keys secret)
#   KORVANTH_ROOT_PUBKEY the root public key launchers carry: verify checks
#                        the tree's key list with it (optional)
#   KORVANTH_PUBKEY      the public key verify and status check with: the
#                        release key's, or the root's with a key list
#                        (default: KORVANTH_KEY's .pub.pem)
#   KORVANTH_TREE        the mirror tree, kept from release to release (required)
#   KORVANTH_DESTS       rclone destinations, separated by spaces (required);
#                        their credentials in RCLONE_CONFIG_* variables
#   KORVANTH_STATUS_URLS the mirrors' public addresses, separated by spaces
#                        (none: no status check, and no pruning)
#   KORVANTH_LAUNCHER    the launcher to publish with the release (optional)
#   KORVANTH_CAFILE      a test authority for status (optional)
#   KORVANTH_KEEP        releases prune keeps (default 3)
#   KORVANTH_PUBLISH     the tool (default: korvanth-publish beside this script)
# Exit code: 0 when the release is live everywhere (and pruned), else that of
# the step that failed; the step is named on the standard error.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=${KORVANTH_PUBLISH:-$here/korvanth-publish}
for name in KORVANTH_VERSION KORVANTH_CLIENT KORVANTH_RULES KORVANTH_KEY KORVANTH_TREE \
            KORVANTH_DESTS; do
  [ -n "${!name:-}" ] || { echo "ci-release: $name is not set" >&2; exit 2; }
done
pubkey=${KORVANTH_PUBKEY:-${KORVANTH_KEY%.pem}.pub.pem}
read -r -a dests <<<"$KORVANTH_DESTS"
read -r -a urls <<<"${KORVANTH_STATUS_URLS:-}"

step() {
  local name=$1 code=0
  shift
  echo "ci-release: $name" >&2
  "$@" || code=$?
  if [ "$code" -ne 0 ]; then
    echo "ci-release: $name failed (exit $code)" >&2
    exit "$code"
  fi
}

extra=()
[ -z "${KORVANTH_LAUNCHER:-}" ] || extra+=(--launcher "$KORVANTH_LAUNCHER")
[ -z "${KORVANTH_PASSPHRASE_ENV:-}" ] || extra+=(--passphrase-env "$KORVANTH_PASSPHRASE_ENV")
[ -z "${KORVANTH_SIGN_COMMAND:-}" ] || extra+=(--sign-command "$KORVANTH_SIGN_COMMAND")
# What players download, in the job's log, from the second release on.
[ ! -e "$KORVANTH_TREE/manifest.json" ] || extra+=(--against "$KORVANTH_TREE")
step build "$tool" build --client "$KORVANTH_CLIENT" --rules "$KORVANTH_RULES" \
  --key "$KORVANTH_KEY" --version "$KORVANTH_VERSION" --out "$KORVANTH_TREE" "${extra[@]}"
roots=()
[ -z "${KORVANTH_ROOT_PUBKEY:-}" ] || roots+=(--root "$KORVANTH_ROOT_PUBKEY")
step verify "$tool" verify --pubkey "$pubkey" "${roots[@]}" "$KORVANTH_TREE"
step upload "$tool" upload "$KORVANTH_TREE" "${dests[@]}"
if [ ${#urls[@]} -eq 0 ]; then
  echo "ci-release: no KORVANTH_STATUS_URLS: not checked, not pruned" >&2
  exit 0
fi
# status's exit code decides: nothing is pruned while a mirror lags.
extra=()
[ -z "${KORVANTH_CAFILE:-}" ] || extra+=(--cafile "$KORVANTH_CAFILE")
step status "$tool" status --pubkey "$pubkey" --objects "${extra[@]}" "${urls[@]}"
for dest in "${dests[@]}" "$KORVANTH_TREE"; do
  step "prune $dest" "$tool" prune --keep "${KORVANTH_KEEP:-3}" "$dest"
done
