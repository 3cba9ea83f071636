#!/usr/bin/env bash
# Prepares a Debian 12 machine for building and testing ArmServerFeaturePkg:
# the Debian packages, EDK II 2022.11 from Debian's edk2 source package, its
# BaseTools and the LTO helper library that Debian ships only as assembly.
# Everything is cached outside the repository, so a second run (or a fresh
# clone) only checks that it is there. Prints the EDK II tree's path on its
# last line.
#
# With EDK2_DIR set to another EDK II tree (a user's own, of any generation),
# that tree is used instead of Debian's: the Debian packages are installed as
# always, and the tree's BaseTools C tools are built when they are missing
# (without the Brotli compressor when its submodule is absent, as in a
# checkout without submodules; nothing here needs it).
#
#   setup.sh                  prepare, print the tree
#   setup.sh --print-default  print where the default tree lives, do nothing
set -euo pipefail

CACHE="${ASFP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/armserverfeaturepkg}"
EDK2_VERSION="2022.11"
DEFAULT_DIR="$CACHE/edk2-$EDK2_VERSION"
STAMP="$CACHE/.setup-done-v1"

if [ "${1:-}" = --print-default ]; then
  echo "$DEFAULT_DIR"
  exit 0
fi

# A tree given by the user, unless it is the default one.
USER_DIR=""
if [ -n "${EDK2_DIR:-}" ]; then
  [ -d "$EDK2_DIR" ] || { echo "setup: EDK2_DIR '$EDK2_DIR' is not a directory" >&2; exit 1; }
  USER_DIR="$(realpath "$EDK2_DIR")"
  [ "$USER_DIR" != "$(realpath -m "$DEFAULT_DIR")" ] || USER_DIR=""
fi
EDK2_DIR="${USER_DIR:-$DEFAULT_DIR}"

PACKAGES=(
  build-essential cmake dpkg-dev python3 uuid-dev clang-14 libfuzzer-14-dev
  gcc-aarch64-linux-gnu g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
  acpica-tools libunicorn-dev libgtest-dev libgmock-dev
  dmidecode qemu-system-arm qemu-efi-aarch64 openipmi ipmitool file libopenipmi-dev
)

have_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

# build_user_basetools: the C tools of the user's tree, all of them, or all
# but BrotliCompress when its brotli submodule is missing or empty.
build_user_basetools () {
  local c="$EDK2_DIR/BaseTools/Source/C" apps
  [ -f "$c/GNUmakefile" ] || { echo "setup: no BaseTools sources in '$EDK2_DIR'" >&2; exit 1; }
  echo ">> building the BaseTools C tools of $EDK2_DIR" >&2
  if [ -n "$(ls -A "$c/BrotliCompress/brotli" 2>/dev/null)" ] || [ ! -d "$c/BrotliCompress" ]; then
    make -s -C "$c" -j"$(nproc)" >&2
  else
    # The application list of the tree's own GNUmakefile, less BrotliCompress.
    apps=$(tr -d '\r' <"$c/GNUmakefile" | sed -n '/^APPLICATIONS *=/,/[^\\]$/p' | tr -d '\\' | sed 's/^APPLICATIONS *=//' |
           tr -s ' \t\n' '\n' | grep -v '^BrotliCompress$' | grep . | tr '\n' ' ')
    [ -n "$apps" ] || { echo "setup: no application list in $c/GNUmakefile" >&2; exit 1; }
    make -s -C "$c" -j"$(nproc)" APPLICATIONS="$apps" >&2
  fi
}

if [ -f "$STAMP" ] && [ -x "$EDK2_DIR/BaseTools/Source/C/bin/GenFw" ] && have_packages; then
  echo "$EDK2_DIR"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if ! have_packages; then
  echo ">> installing Debian packages" >&2
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >&2
  $SUDO apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >&2
fi

mkdir -p "$CACHE"
if [ -n "$USER_DIR" ]; then
  [ -f "$EDK2_DIR/edksetup.sh" ] && [ -d "$EDK2_DIR/MdePkg" ] ||
    { echo "setup: '$EDK2_DIR' is not an EDK II tree (no edksetup.sh or MdePkg)" >&2; exit 1; }
  [ -x "$EDK2_DIR/BaseTools/Source/C/bin/GenFw" ] || build_user_basetools
  echo "$EDK2_DIR"
  exit 0
fi

if [ ! -d "$EDK2_DIR/MdePkg" ]; then
  echo ">> fetching the edk2 source package from the Debian archive" >&2
  # apt-get source needs a deb-src entry for bookworm main. Derive it from the
  # machine's own deb entries, so that a mirror or proxy stays in use.
  derived="$CACHE/deb-src.$$"
  rm -rf "$derived"
  rc=0
  "$(dirname "${BASH_SOURCE[0]}")/deb-src-entries.sh" /etc/apt "$derived" || rc=$?
  case "$rc" in
    0)
      for f in "$derived"/*; do
        $SUDO cp "$f" "/etc/apt/sources.list.d/$(basename "$f")"
      done
      $SUDO apt-get update -qq >&2
      ;;
    2) ;;   # deb-src entries configured already
    *) rm -rf "$derived"; echo "setup: cannot add a deb-src entry (see above)" >&2; exit 1 ;;
  esac
  rm -rf "$derived"
  work="$CACHE/src.$$"
  rm -rf "$work"; mkdir -p "$work"
  (cd "$work" && apt-get source -qq "edk2=$EDK2_VERSION-6+deb12u2" >&2 || apt-get source -qq edk2 >&2)
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'edk2-*' | head -n 1)
  [ -n "$src" ] || { echo "edk2 source not unpacked" >&2; exit 1; }
  rm -rf "$EDK2_DIR"
  mv "$src" "$EDK2_DIR"
  rm -rf "$work"
fi

if [ ! -x "$EDK2_DIR/BaseTools/Source/C/bin/GenFw" ]; then
  echo ">> building BaseTools" >&2
  make -s -C "$EDK2_DIR/BaseTools" -j"$(nproc)" >&2
fi

lto="$EDK2_DIR/ArmPkg/Library/GccLto/liblto-aarch64.a"
if [ ! -f "$lto" ]; then
  echo ">> assembling liblto-aarch64.a" >&2
  aarch64-linux-gnu-gcc -c -fpic "$EDK2_DIR/ArmPkg/Library/GccLto/liblto-aarch64.s" -o "$lto"
fi

touch "$STAMP"
echo "$EDK2_DIR"
