# The EDK II tree a build uses and what that tree's generation needs, for the
# scripts that build with EDK II or read what it built. Sourced; sets:
#   EDK2_DIR            the tree: $EDK2_DIR when the caller sets it, else the
#                       cached Debian 2022.11 tree (scripts/setup.sh prepares
#                       either, building a given tree's BaseTools if needed)
#   ASFP_TOOLCHAIN      the tool chain tag: GCC5 where the tree still defines
#                       it, GCC in trees that dropped it
#   ASFP_EDK2_DEFINES   the -D options that tell the package's own DSCs where
#                       the tree keeps the library classes that moved
#   ASFP_WS             the build workspace: build/edk2-ws for the default
#                       tree, build/edk2-ws-<tree>-<hash> for any other, so
#                       each tree keeps its own Conf and Build
#   ASFP_BUILD          $ASFP_WS/Build
# and defines asfp_edk2_shell, which puts the tree's `build` on PATH.
#
# Set ASFP_NO_SETUP=1 to take EDK2_DIR as given without running setup.sh
# (the tree must be prepared already).

asfp_repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ "${ASFP_NO_SETUP:-0}" = 1 ] && [ -n "${EDK2_DIR:-}" ]; then
  EDK2_DIR="$(realpath "$EDK2_DIR")"
else
  EDK2_DIR="$("$asfp_repo/scripts/setup.sh" | tail -n 1)"
fi
[ -f "$EDK2_DIR/edksetup.sh" ] || { echo "no EDK II tree at '$EDK2_DIR'" >&2; exit 1; }

if grep -q '^\*_GCC5_' "$EDK2_DIR/BaseTools/Conf/tools_def.template"; then
  ASFP_TOOLCHAIN=GCC5
else
  ASFP_TOOLCHAIN=GCC
fi

ASFP_EDK2_DEFINES=()
if [ -f "$EDK2_DIR/MdePkg/Library/ArmLib/ArmBaseLib.inf" ]; then
  ASFP_EDK2_DEFINES+=(-D ASF_EDK2_MDEPKG_ARMLIB=TRUE)
fi
if [ -f "$EDK2_DIR/MdePkg/Library/CompilerIntrinsicsLib/CompilerIntrinsicsLib.inf" ]; then
  ASFP_EDK2_DEFINES+=(-D ASF_EDK2_MDEPKG_INTRINSICS=TRUE)
fi

if [ "$EDK2_DIR" = "$("$asfp_repo/scripts/setup.sh" --print-default)" ]; then
  ASFP_WS="$asfp_repo/build/edk2-ws"
else
  ASFP_WS="$asfp_repo/build/edk2-ws-$(basename "$EDK2_DIR")-$(printf '%s' "$EDK2_DIR" | sha256sum | cut -c1-8)"
fi
ASFP_BUILD="$ASFP_WS/Build"

# asfp_edk2_shell: the environment of EDK II's build command for this tree
# and workspace (WORKSPACE, PACKAGES_PATH, BaseTools on PATH, the cross
# compiler prefix of the tool chain tag).
asfp_edk2_shell () {
  export WORKSPACE="$ASFP_WS"
  export PACKAGES_PATH="$asfp_repo:$asfp_repo/vboard/platform:$EDK2_DIR"
  asfp_edksetup
}

# asfp_edksetup: the rest of the build command's environment for the
# WORKSPACE and PACKAGES_PATH the caller exported (BaseTools on PATH, the
# cross compiler prefix of the tool chain tag).
asfp_edksetup () {
  export EDK_TOOLS_PATH="$EDK2_DIR/BaseTools"
  export "${ASFP_TOOLCHAIN}_AARCH64_PREFIX=aarch64-linux-gnu-"
  unset CONF_PATH
  mkdir -p "$WORKSPACE"
  # edksetup.sh copies the BaseTools Conf templates into $WORKSPACE/Conf on
  # the first run and puts the BaseTools wrappers on PATH. It reads the
  # positional parameters as its options and is not written for `set -eu`.
  set --
  set +eu
  # shellcheck disable=SC1091
  . "$EDK2_DIR/edksetup.sh" >/dev/null
  local rc=$?
  set -eu
  [ "$rc" -eq 0 ] || { echo "edksetup.sh failed ($rc)" >&2; exit 1; }
  command -v build >/dev/null || { echo "EDK II build command not on PATH" >&2; exit 1; }
}
