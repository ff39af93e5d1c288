#!/usr/bin/env bash
# A noisy cable: NORMAL downloads of 64 blocks at 115200 bit/s on the paced line, the simulator
# flipping each bit either way with the given probability (ber=RATE:SEED), three seeds a rate,
# by this tree's tarvisel-cli and (--before) another's against the same tarvisel-sim. Prints
# markdown: each run's outcome, whole time, the block writes the handset received more than
# once, and the ratio of the time to the clean run of the same engine.
#   bench/noise_bench.sh --cli CLI --sim SIM [--before CLI --before-name NAME] [--quick]
#   --quick: 16 blocks, one seed a rate
set -euo pipefail
cli="" sim="" before="" before_name="before" blocks=64 seeds=(1 2 3)
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$2; shift ;;
    --sim) sim=$2; shift ;;
    --before) before=$2; shift ;;
    --before-name) before_name=$2; shift ;;
    --quick) blocks=16 seeds=(1) ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: bench/noise_bench.sh --cli CLI --sim SIM [--before CLI --before-name NAME] [--quick]" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$cli" ] && [ -x "$sim" ] || { echo "noise_bench: --cli and --sim must name the programs" >&2; exit 2; }

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export TARVISEL_SETTINGS="$work/settings" LC_ALL=C

le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
start=$((0x10000)) version=203
range=$((blocks * 4096))
image="$work/image.bin"
{ head -c "$start" /dev/urandom; head -c "$((range - 37))" /dev/urandom
  printf '\xff\x1d\x00'; head -c 14 /dev/zero; le32 "$version"; le32 "$start"; head -c 12 /dev/zero
} >"$image"

# run NAME TOOL BER LIMIT: leaves NAME.result as "outcome seconds resent"
run() {
  local name=$1 tool=$2 ber=$3 limit=$4
  local scenario="rev=$version; reply-ms=0; erase-ms=0; jump-ms=0; pace=on"
  [ "$ber" != 0 ] && scenario="$scenario; ber=$ber"
  local pty="$work/$name.pty"
  echo "== noise $name: ber $ber, $blocks blocks" >&2
  "$sim" --scenario "$scenario" --flash-size 16M --link "$pty" --save-flash "$work/$name.flash" \
    --record "$work/$name.record" >/dev/null 2>"$work/$name.sim.err" &
  sim_pid=$!
  for _ in $(seq 200); do [ -e "$pty" ] && break; sleep 0.05; done
  local t0 t1 status=0
  t0=$(date +%s.%N)
  "$tool" download "$image" --device "$pty" --speed 115200 --yes --quiet --timeout "$limit" \
    >"$work/$name.out" 2>&1 || status=$?
  t1=$(date +%s.%N)
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  local outcome=completed
  if [ "$status" -ne 0 ]; then
    if grep -q 'gave up' "$work/$name.out"; then outcome="not done in $limit s"
    else outcome=$(grep -m1 '^result:' "$work/$name.out" | sed 's/^result: download //; s/ (exit.*//' || echo "exit $status"); fi
  elif ! cmp -s <(tail -c +$((start + 1)) "$image" | head -c "$range") \
                <(tail -c +$((start + 1)) "$work/$name.flash" | head -c "$range"); then
    outcome="COMPLETED WITH THE FLASH WRONG"
  fi
  # Block writes received (good or spoilt) beyond one a block.
  local writes
  writes=$(awk '$9 == "DD" || ($8 == "DD") { n++ } END { print n + 0 }' "$work/$name.record")
  echo "$outcome $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') $((writes > blocks ? writes - blocks : 0))" \
    >"$work/$name.result"
}

rows=()
engine_runs() {  # LABEL TOOL LIMIT
  local label=$1 tool=$2 limit=$3 clean=""
  for ber in 0 1e-6 1e-5; do
    local list=("${seeds[@]}")
    [ "$ber" = 0 ] && list=(1)
    for seed in "${list[@]}"; do
      local name="$label-$ber-$seed" outcome secs resent ratio
      run "$name" "$tool" "$([ "$ber" = 0 ] && echo 0 || echo "$ber:$seed")" "$limit"
      read -r -a f <"$work/$name.result"
      secs=${f[-2]} resent=${f[-1]} outcome=${f[*]:0:${#f[@]}-2}
      [ "$ber" = 0 ] && clean=$secs
      if [ "$outcome" = completed ]; then ratio=$(awk -v a="$secs" -v b="$clean" 'BEGIN { printf "%.2f", a / b }'); else ratio="-"; fi
      rows+=("| $label | $ber | $([ "$ber" = 0 ] && echo - || echo "$seed") | $outcome | $secs | $resent | **$ratio** |")
    done
  done
}

engine_runs "this tree" "$cli" 600
[ -n "$before" ] && engine_runs "$before_name" "$before" 150

echo "### A noisy cable: NORMAL, $blocks blocks at 115200 bit/s, paced"
echo
echo "\`ber=RATE:SEED\`: the simulator flips every bit of every byte, either way, with that probability. Whole: from start to exit of tarvisel-cli (the DM phase and its pauses included); resent: block writes the handset received beyond one a block (spoilt ones included); ratio: to the same engine's clean run.${before:+ The engine of $before_name is given 150 s.}"
echo
echo "| engine | bit-error rate | seed | outcome | whole s | blocks resent | ratio to clean |"
echo "|---|---|---|---|---|---|---|"
for r in "${rows[@]}"; do echo "$r"; done
