#!/usr/bin/env bash
# The explorer's speed: schedules a second on one core, by download type, for swarm schedules of
# fixed seeds (scripts/explore builds tarvisel-explore in build-explore/). Prints a markdown
# section. "Per core" is schedules over the process's CPU time (user + system), which does not
# depend on what else the machine runs; "wall" is what the explorer itself printed.
#   bench/explore_bench.sh [--quick] [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20
[ "${1:-}" = "--quick" ] && seconds=5
[ "${1:-}" = "--seconds" ] && seconds=${2:?--seconds needs a number}
scripts/explore --replay 'type=emergency speed=115200 variant=crc30 blocks=1 live=1 | rev=1' >/dev/null  # builds it
explore=build-explore/tests/explore/tarvisel-explore
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

row() {  # label, then tarvisel-explore's options
  local label=$1; shift
  /usr/bin/time -f "%U %S" -o "$work/time" "$explore" --seconds "$seconds" --quiet "$@" >"$work/out" 2>&1 || true
  local summary cpu n failed wall
  summary=$(tail -n 1 "$work/out")
  n=$(awk '{print $1}' <<<"$summary")
  failed=$(awk '{print $3}' <<<"$summary")
  wall=$(awk '{print $5}' <<<"$summary")
  cpu=$(tail -n 1 "$work/time" | awk '{printf "%.2f", $1 + $2}')  # after any "exited with" line
  printf '| %s | %s | %s | %s | %s | %.0f |\n' "$label" "$n" "$failed" "$wall" "$cpu" "$(awk -v n="$n" -v c="$cpu" 'BEGIN{print (c > 0 ? n / c : 0)}')"
}

echo "### The explorer ($seconds s a row, $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg))"
echo ""
echo "| schedules | run | failed | per second (wall) | CPU s | per second per core |"
echo "|---|---|---|---|---|---|"
row "EMERGENCY, 1-4 blocks" --seed 1 --type emergency
row "CHANGE(EMERGENCY), 1-4 blocks" --seed 1 --type change-emergency
row "NORMAL, 1-4 blocks" --seed 1 --type normal
row "CHANGE(NORMAL), 1-4 blocks" --seed 1 --type change-normal
row "FONT, 16 blocks" --seed 1 --type font
row "all five types" --seed 1
row "exhaustive, up to two faults" --exhaustive
