#!/usr/bin/env bash
# make test: set-up, the package build, the virtual board, then every test.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$REPO/build/logs"
step () {   # runs a set-up or build step quietly; its log is shown when it fails
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
cd "$REPO/build/vboard"
ctest --output-on-failure -j "${ASFP_JOBS:-2}" "$@"
