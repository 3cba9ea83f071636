#!/usr/bin/env bash
# The common first half of make and make test: set-up, the package build and
# the virtual board, each step quiet unless it fails (its log stays in
# build/logs either way).
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$REPO/build/logs"
step () {
  local name=$1; shift
  echo ">> $name" >&2
  if ! "$@" >"$REPO/build/logs/$name.log" 2>&1; then
    tail -n 60 "$REPO/build/logs/$name.log" >&2
    echo "!! $name failed; full log: build/logs/$name.log" >&2
    exit 1
  fi
}
step setup "$REPO/scripts/setup.sh"
step package "$REPO/scripts/build-package.sh"
step vboard "$REPO/scripts/build-vboard.sh"
