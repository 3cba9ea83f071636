#!/usr/bin/env bash
# Configures and builds the virtual board and its tests against the images
# of the package build (the workspace of scripts/edk2-env.sh: build/edk2-ws
# for Debian's EDK II, or that of the tree EDK2_DIR names). Run
# scripts/build-package.sh first.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"
IMAGES="$ASFP_BUILD"
T="$ASFP_TOOLCHAIN"
cmake -S "$REPO/vboard" -B "$REPO/build/vboard" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DASFP_DEBUG_IMAGES="$IMAGES/ArmServerFeaturePkg/DEBUG_$T/AARCH64" \
  -DASFP_RELEASE_IMAGES="$IMAGES/ArmServerFeaturePkg/RELEASE_$T/AARCH64" \
  -DASFP_TEST_IMAGES="$IMAGES/ArmServerFeaturePkgTest/DEBUG_$T/AARCH64" \
  -DASFP_EDK2_DIR="$EDK2_DIR" >/dev/null
cmake --build "$REPO/build/vboard" -j "${ASFP_JOBS:-2}"

# The libFuzzer driver: the same board built with clang.
cmake -S "$REPO/vboard" -B "$REPO/build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DASFP_FUZZ=ON \
  -DCMAKE_CXX_COMPILER=clang++-14 \
  -DASFP_DEBUG_IMAGES="$IMAGES/ArmServerFeaturePkg/DEBUG_$T/AARCH64" \
  -DASFP_EDK2_DIR="$EDK2_DIR" >/dev/null
cmake --build "$REPO/build/fuzz" -j "${ASFP_JOBS:-2}" --target vboard_fuzz
