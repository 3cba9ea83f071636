#!/usr/bin/env bash
# Derives deb-src entries from the deb entries apt is configured with, so that
# `apt-get source` fetches from the same archive, mirror or proxy the machine
# already installs packages from (no archive host is named here).
#
#   deb-src-entries.sh APT_ETC OUT_DIR
#
# APT_ETC is apt's configuration directory (/etc/apt). Both formats are read:
#   - one-line entries in APT_ETC/sources.list and APT_ETC/sources.list.d/*.list
#     ("deb [options] URI suite [component...]"): each becomes the same line
#     with deb-src, in OUT_DIR/asfp-deb-src.list;
#   - deb822 stanzas in APT_ETC/sources.list.d/*.sources whose Types include
#     deb and which are not "Enabled: no": each is copied with "Types:
#     deb-src" (URIs, Suites, Components, Signed-By and the rest unchanged),
#     in OUT_DIR/asfp-deb-src.sources.
# Exit status: 0 when at least one entry was written; 2 when the machine has
# deb-src entries already (nothing written); 1 when it has no deb entries.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 APT_ETC OUT_DIR" >&2; exit 64; }
APT_ETC=$1
OUT=$2
mkdir -p "$OUT"

one_line_files=()
[ -f "$APT_ETC/sources.list" ] && one_line_files+=("$APT_ETC/sources.list")
deb822_files=()
for f in "$APT_ETC"/sources.list.d/*; do
  [ -f "$f" ] || continue
  case "$f" in
    *.list) one_line_files+=("$f") ;;
    *.sources) deb822_files+=("$f") ;;
  esac
done

# One-line format: the type is the first word of a line that is not a comment.
have_src_line() {
  [ ${#one_line_files[@]} -gt 0 ] && awk '$1 == "deb-src" { found = 1 } END { exit !found }' "${one_line_files[@]}"
}
one_line_deb_src() {
  [ ${#one_line_files[@]} -gt 0 ] || return 0
  awk '$1 == "deb" { sub(/^[ \t]*deb/, "deb-src"); print }' "${one_line_files[@]}"
}

# deb822: paragraphs separated by blank lines; a field may continue on lines
# that start with white space; lines starting with # are comments.
# MODE "has-src" prints "yes" when an enabled stanza has Types deb-src;
# MODE "derive" prints the enabled deb stanzas as deb-src stanzas.
deb822() {
  local mode=$1
  [ ${#deb822_files[@]} -gt 0 ] || return 0
  awk -v mode="$mode" '
    function flush(   i, types, enabled, n, out) {
      if (count == 0) return
      types = ""; enabled = "yes"
      for (i = 1; i <= count; i++) {
        if (tolower(line[i]) ~ /^types:/) { types = " " substr(line[i], 7) " " }
        if (tolower(line[i]) ~ /^enabled:/) { enabled = tolower(substr(line[i], 9)); gsub(/[ \t]/, "", enabled) }
      }
      gsub(/\t/, " ", types)
      if (enabled != "no") {
        if (mode == "has-src" && types ~ / deb-src /) print "yes"
        if (mode == "derive" && types ~ / deb /) {
          if (stanzas++) print ""
          print "Types: deb-src"
          skipping = 0
          for (i = 1; i <= count; i++) {
            if (tolower(line[i]) ~ /^types:/) { skipping = 1; continue }
            if (line[i] !~ /^[ \t]/) skipping = 0
            if (!skipping) print line[i]
          }
        }
      }
      count = 0
    }
    FNR == 1 { flush() }
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    { line[++count] = $0 }
    END { flush() }
  ' "${deb822_files[@]}"
}

if have_src_line || [ -n "$(deb822 has-src)" ]; then
  exit 2
fi

written=0
lines=$(one_line_deb_src)
if [ -n "$lines" ]; then
  printf '%s\n' "$lines" >"$OUT/asfp-deb-src.list"
  written=1
fi
stanzas=$(deb822 derive)
if [ -n "$stanzas" ]; then
  printf '%s\n' "$stanzas" >"$OUT/asfp-deb-src.sources"
  written=1
fi

if [ "$written" -eq 0 ]; then
  echo "no deb entry in $APT_ETC/sources.list or $APT_ETC/sources.list.d/ (*.list, *.sources):" \
       "cannot derive the deb-src entry that 'apt-get source edk2' needs; add one for Debian 12 main" >&2
  exit 1
fi
