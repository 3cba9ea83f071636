#!/bin/bash
# Scans every image the package build linked (the ELF .debug file GenFw
# turned into each .efi) for what a UEFI image never runs or resolves: there
# is no C++ runtime in firmware, so nothing calls global constructors or
# destructors, unwinds the stack, looks up type information or provides
# operator new/delete. Any of these in an image is code that silently does
# not run, or a reference that cannot be resolved:
#   sections  .init_array .fini_array .preinit_array .ctors .dtors
#             .eh_frame .eh_frame_hdr .gcc_except_table (non-empty)
#   symbols   __cxa_*  __gxx_personality*  _Unwind_*  __dso_handle
#             _GLOBAL__sub_I_* / _GLOBAL__sub_D_* (static initialisers)
#             _ZTI* _ZTS* (type info)  _ZTV* _ZTT* (vtables)
#             _Znw* _Zna* _Zdl* _Zda* (operator new/delete)
#
# The image alone is not enough: the link drops .init_array and the static
# initialiser with --gc-sections, so a global constructor leaves no trace in
# the .debug file and simply never runs. Each image's link map (Name.map
# under the build tree next to DIR) is read too, for those discarded input
# sections.
#
# Usage: image-scan.sh DIR...   (each DIR holds the .debug files of one
# build: the package's DEBUG and RELEASE images, the test images). Exits 1
# listing every finding, or when a directory holds no image at all.
set -u

READELF=${READELF:-aarch64-linux-gnu-readelf}
NM=${NM:-aarch64-linux-gnu-nm}
BAD_SECTIONS='^\.(init_array|fini_array|preinit_array|ctors|dtors|eh_frame|eh_frame_hdr|gcc_except_table)$'
BAD_MAP_LINES='^ \.(init_array|fini_array|preinit_array|ctors|dtors)([ .]|$)|_GLOBAL__sub_[ID]_'
BAD_SYMBOLS='^(__cxa_|__gxx_personality|_Unwind_|__dso_handle|_GLOBAL__sub_[ID]_|_ZT[ISVT]|_Znw|_Zna|_Zdl|_Zda)'

findings=0
total=0
for dir in "$@"; do
  count=0
  for image in "$dir"/*.debug; do
    [ -f "$image" ] || continue
    count=$((count + 1))
    name=$(basename "$image" .debug)
    # Section headers: "[Nr] Name Type Address Off Size ..."; keep the
    # name and size of every section.
    while read -r section size; do
      if [[ "$section" =~ $BAD_SECTIONS ]] && [ $((16#$size)) -ne 0 ]; then
        echo "$dir/$name: section $section ($((16#$size)) bytes)"
        findings=$((findings + 1))
      fi
    done < <("$READELF" -SW "$image" | sed -n 's/^ *\[ *[0-9]*\] *\([^ ]*\) *[A-Z_]* *[0-9a-f]* *[0-9a-f]* *\([0-9a-f]*\).*/\1 \2/p')
    while read -r symbol; do
      echo "$dir/$name: symbol $symbol"
      findings=$((findings + 1))
    done < <("$NM" -a "$image" | awk '{ print $NF }' | grep -E "$BAD_SYMBOLS" | sort -u)
    map=$(find "$dir" -name "$name.map" 2>/dev/null | head -n 1)
    if [ -z "$map" ]; then
      echo "$dir/$name: no link map"
      findings=$((findings + 1))
    else
      while read -r line; do
        echo "$dir/$name: link map: $line"
        findings=$((findings + 1))
      done < <(grep -E "$BAD_MAP_LINES" "$map" | sed 's/^ *//' | sort -u)
    fi
  done
  if [ "$count" -eq 0 ]; then
    echo "$dir: no .debug image to scan"
    findings=$((findings + 1))
  fi
  total=$((total + count))
done

echo "image-scan: $total images, $findings findings"
[ "$findings" -eq 0 ]
