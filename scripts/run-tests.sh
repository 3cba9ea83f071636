#!/usr/bin/env bash
# make test: set-up, the package build, the virtual board, then every test.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
"$REPO/scripts/prepare.sh"
cd "$REPO/build/vboard"
ctest --output-on-failure -j "${ASFP_JOBS:-2}" "$@"
