# Gatewarden's gating, modelled independently of the images, for the scripts
# that boot the gated probe drivers (ArmServerFeaturePkg/Test/GatedProbe)
# under a real DXE dispatcher. Sourced; the caller sets PROBE_DIR and
# defines fail (). Gives PROBES (the probes of GatedProbes.fdf.inc, in
# volume order), DEPEX (each probe's [Depex] as written in its INF),
# set_markers (the markers a setup record installs), expect_ran (whether a
# probe must run with those markers) and started_line (where a probe's
# "started" message is in a log).

# The probes in the volume, and each one's dependency expression.
mapfile -t PROBES < <(grep -o 'GatedProbe/[A-Za-z0-9_]*\.inf' "$PROBE_DIR/GatedProbes.fdf.inc" | sed 's|.*/||; s|\.inf$||')
[ "${#PROBES[@]}" -gt 0 ] || fail "no probe listed in GatedProbes.fdf.inc"
declare -A DEPEX
for probe in "${PROBES[@]}"; do
  DEPEX[$probe]=$(awk '/^\[/ { in_depex = ($0 ~ /^\[Depex/) ; next }
                       in_depex { sub(/#.*/, ""); printf "%s ", $0 }' "$PROBE_DIR/$probe.inf" | xargs)
  [ -n "${DEPEX[$probe]}" ] || fail "$probe.inf has no [Depex]"
done

# Gatewarden's rules: which markers a setup record installs. Option bytes
# count only when exactly 1, and only those of the selected mode; every
# nonzero mode installs the UNDI marker.
declare -A MARKER
set_markers () {
  local mode=$1 m1a=$2 m2a=$3 m1b=$4 m2b=$5 a=0 b=0
  MARKER=([gNetworkMode1DepexProtocolGuid]=0 [gNetworkMode2DepexProtocolGuid]=0
          [gNetworkOptionADepexProtocolGuid]=0 [gNetworkOptionBDepexProtocolGuid]=0
          [gNetworkUndiDepexProtocolGuid]=0)
  [ "$mode" = - ] && return 0
  case $mode in
    1) MARKER[gNetworkMode1DepexProtocolGuid]=1; [ "$m1a" = 1 ] && a=1; [ "$m1b" = 1 ] && b=1 ;;
    2) MARKER[gNetworkMode2DepexProtocolGuid]=1; [ "$m2a" = 1 ] && a=1; [ "$m2b" = 1 ] && b=1 ;;
  esac
  MARKER[gNetworkOptionADepexProtocolGuid]=$a
  MARKER[gNetworkOptionBDepexProtocolGuid]=$b
  [ "$mode" != 0 ] && MARKER[gNetworkUndiDepexProtocolGuid]=1
  return 0
}

# The target probe of a BEFORE/AFTER operand: gGated<X>FileGuid names the
# file GUID of probe Gated<X> (ArmServerFeaturePkgTest.dec).
target_probe () {
  local name=${1#g}
  echo "${name%FileGuid}"
}

# Prints 1 when the probe is expected to run, else 0. AND and OR have equal
# precedence in EDK II's depex grammar (unlike in shell arithmetic), so an
# expression that mixes them without parentheses is refused.
expect_ran () {
  local probe=$1 expr tokens tok arith=""
  expr=${DEPEX[$probe]}
  read -r -a tokens <<<"$(sed 's/[()]/ & /g' <<<"$expr")"
  case ${tokens[0]} in
    BEFORE|AFTER) expect_ran "$(target_probe "${tokens[1]}")"; return ;;
    SOR) fail "$probe: SOR is not evaluated here" ;;
  esac
  if [[ " $expr " == *" AND "* && " $expr " == *" OR "* && "$expr" != *"("* ]]; then
    fail "$probe: [Depex] mixes AND and OR without parentheses"
  fi
  for tok in "${tokens[@]}"; do
    case $tok in
      AND) arith+=" && " ;;
      OR) arith+=" || " ;;
      NOT) arith+=" ! " ;;
      TRUE) arith+=" 1 " ;;
      FALSE) arith+=" 0 " ;;
      "("|")") arith+=" $tok " ;;
      *) [ -n "${MARKER[$tok]+set}" ] || fail "$probe: no rule for $tok"
         arith+=" ${MARKER[$tok]} " ;;
    esac
  done
  echo $(( arith ))
}

# Line number of "<Name> started:" in a log, empty when absent.
started_line () {
  { grep -anE "(^|[^A-Za-z0-9])$2 started: " "$1" || true; } | head -n 1 | cut -d: -f1
}
