# The common part of the AAVMF checks, sourced by each: where the AAVMF
# build of the package left its images, AAVMF itself (Debian's
# qemu-efi-aarch64), the log directory, and a check that everything a run
# needs is there, failing clearly when a file or tool is missing.
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=edk2-env.sh
. "$REPO/scripts/edk2-env.sh"
AAVMF_BUILD="$ASFP_BUILD/ArmServerFeaturePkgAavmf/DEBUG_$ASFP_TOOLCHAIN"
IMAGES="$AAVMF_BUILD/AARCH64"
FIRMWARE=/usr/share/qemu-efi-aarch64/QEMU_EFI.fd
mkdir -p "$REPO/build/logs"

# aavmf_require FILE... -- TOOL...: the files (and AAVMF) exist, the tools
# (and qemu-system-aarch64) are installed.
aavmf_require () {
  local f tools=(qemu-system-aarch64) files=("$FIRMWARE")
  while [ $# -gt 0 ] && [ "$1" != -- ]; do files+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  tools+=("$@")
  for f in "${files[@]}"; do [ -f "$f" ] || { echo "missing $f" >&2; exit 1; }; done
  for f in "${tools[@]}"; do command -v "$f" >/dev/null || { echo "$f is not installed" >&2; exit 1; }; done
}
