#!/usr/bin/env bash
# Configures and builds the virtual board and its tests against the images
# of the package build (build/edk2-ws). Run scripts/build-package.sh first.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)
IMAGES="$REPO/build/edk2-ws/Build"
cmake -S "$REPO/vboard" -B "$REPO/build/vboard" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DASFP_DEBUG_IMAGES="$IMAGES/ArmServerFeaturePkg/DEBUG_GCC5/AARCH64" \
  -DASFP_RELEASE_IMAGES="$IMAGES/ArmServerFeaturePkg/RELEASE_GCC5/AARCH64" \
  -DASFP_TEST_IMAGES="$IMAGES/ArmServerFeaturePkgTest/DEBUG_GCC5/AARCH64" \
  -DASFP_EDK2_DIR="$("$REPO/scripts/setup.sh" | tail -n 1)" >/dev/null
cmake --build "$REPO/build/vboard" -j "${ASFP_JOBS:-2}"

# The libFuzzer driver: the same board built with clang.
cmake -S "$REPO/vboard" -B "$REPO/build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DASFP_FUZZ=ON \
  -DCMAKE_CXX_COMPILER=clang++-14 \
  -DASFP_DEBUG_IMAGES="$IMAGES/ArmServerFeaturePkg/DEBUG_GCC5/AARCH64" \
  -DASFP_EDK2_DIR="$("$REPO/scripts/setup.sh" | tail -n 1)" >/dev/null
cmake --build "$REPO/build/fuzz" -j "${ASFP_JOBS:-2}" --target vboard_fuzz
