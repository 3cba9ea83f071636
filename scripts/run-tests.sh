#!/usr/bin/env bash
# make test: set-up, the package build, the virtual board, then every test.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
"$REPO/scripts/prepare.sh"
cd "$REPO/build/vboard"
status=0
ctest --output-on-failure -j "${ASFP_JOBS:-2}" "$@" || status=$?
# CTest names a skipped test without its output; say why it was skipped.
grep -A2 '^skipped: ' Testing/Temporary/LastTest.log 2>/dev/null | grep -v '^--$' || true
exit "$status"
