#!/usr/bin/env bash
# Benchmark of a station: four simulated handsets at the line rate (115200 bit/s, every byte
# paced both ways), all flashed by one tarvisel-cli command. Prints a markdown section: each
# handset's programming time against its line time, and the CPU of the whole station (the
# command and the four processes it starts) per MiB.
#   bench/station_bench.sh                    builds a Release in build-bench/, 1 MiB a handset
#   bench/station_bench.sh --quick            128 KiB a handset, to try the script
#   bench/station_bench.sh --cli C --sim S    with programs already built (scripts/bench)
#   bench/station_bench.sh --handsets N       N handsets instead of 4 (1: one tarvisel-cli alone)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cli="" sim="" size=$((1024 * 1024)) handsets=4
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) size=$((128 * 1024)) ;;
    --full) ;;
    --cli) cli=${2:?--cli needs a program}; shift ;;
    --sim) sim=${2:?--sim needs a program}; shift ;;
    --handsets) handsets=${2:?--handsets needs a number}; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: bench/station_bench.sh [--quick] [--cli PROGRAM --sim PROGRAM]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$cli" ] || [ -z "$sim" ]; then
  scripts/deps --full
  build="$root/build-bench"
  mkdir -p "$build"
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  echo "== building in $build (Release)" >&2
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTARVISEL_TESTS=OFF \
    -DTARVISEL_GUI=OFF -DTARVISEL_BENCH=OFF -DTARVISEL_HARDENING=OFF >"$build.station-configure.log" 2>&1 ||
    { cat "$build.station-configure.log"; exit 1; }
  cmake --build "$build" --target tarvisel-cli tarvisel-sim >"$build.station-build.log" 2>&1 ||
    { tail -n 40 "$build.station-build.log"; exit 1; }
  cli="$build/src/cli/tarvisel-cli" sim="$build/sim/tarvisel-sim"
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "${STATION_BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
export TARVISEL_SETTINGS="$work/settings" XDG_DATA_HOME="$work/data" LC_ALL=C

# The image: START bytes, then random data up to the trailer in the last 37 bytes.
start=$((0x10000)) version=203
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
{ head -c "$start" /dev/urandom; head -c "$((size - 37))" /dev/urandom
  printf '\xff\x1d\x00'; head -c 14 /dev/zero; le32 "$version"; le32 "$start"; head -c 12 /dev/zero
} >"$work/image.bin"

# The handsets answer at once: their own work is neither line time nor a pause of the tool's.
scenario="rev=$version; reply-ms=0; erase-ms=0; jump-ms=0; pace=on"
devices=()
for i in $(seq "$handsets"); do
  "$sim" --scenario "$scenario" --flash-size 16M --link "$work/h$i.pty" --save-flash "$work/h$i.flash" \
    --line-log "$work/h$i.line" >"$work/h$i.sim.out" 2>"$work/h$i.sim.err" &
  pids+=($!)
  devices+=(--device "$work/h$i.pty")
done
for i in $(seq "$handsets"); do
  for _ in $(seq 200); do [ -e "$work/h$i.pty" ] && break; sleep 0.05; done
  [ -e "$work/h$i.pty" ] || { echo "handset $i did not start:" >&2; cat "$work/h$i.sim.err" >&2; exit 1; }
done

# The station's own CPU (not its handsets' processes), from the last look at /proc before it
# ended (every 0.2 s; the kernel counts in clock ticks). Only the station is given --log-dir.
station_cpu() {
  local pid="" tick
  tick=$(getconf CLK_TCK)
  until [ -n "$pid" ]; do sleep 0.02; pid=$(pgrep -o -f -- "--log-dir $work/logs" || true); done
  while [ -r "/proc/$pid/stat" ]; do
    awk -v t="$tick" '{ sub(/^.*\) /, ""); printf "%.2f %.2f\n", $12 / t, $13 / t }' "/proc/$pid/stat" \
      >"$work/own.new" 2>/dev/null && mv "$work/own.new" "$work/own"
    sleep 0.2
  done
}

echo "== station: $handsets handsets, NORMAL, $((size / 1024)) KiB each, 115200 bit/s, paced" >&2
station_cpu &
sampler=$!
status=0 TIMEFORMAT='%3R %3U %3S'
{ time "$cli" download "$work/image.bin" "${devices[@]}" --speed 115200 --type normal --yes --quiet \
    --log-dir "$work/logs" --json --timeout 1200 >"$work/events.jsonl" 2>"$work/station.err" ||
    status=$?; } 2>"$work/station.cpu"
wait "$sampler" 2>/dev/null || true
# The handsets write their flash as they end. (--exit-after-download would end them while the
# engine still waits out the 200 ms after the final jump, and their hang-up would break its line.)
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
pids=()
[ "$status" -eq 0 ] || { echo "the station ended with status $status:" >&2; cat "$work/station.err" >&2; exit 1; }
for i in $(seq "$handsets"); do
  cmp -s <(tail -c +$((start + 1)) "$work/image.bin") <(tail -c +$((start + 1)) "$work/h$i.flash" | head -c "$size") ||
    { echo "handset $i: its flash differs from the image" >&2; exit 1; }
done

# The figures of a handset's line log: bench/line_figures.awk.
line_figures() { awk -f "$root/bench/line_figures.awk" "$1"; }

# The engine's pauses between the first request and the final ACK (NORMAL at 115200 bit/s):
# 300 ms after the version reply, 3000 before download mode, 2000 before the first download
# start, 700 for the change to 115200, and 200 after each of the five set-up replies and after
# the last block's ACK.
pauses=7.2
read -r elapsed user sys <"$work/station.cpu"
read -r own_user own_sys <"$work/own"
rows=() worst=""
for i in $(seq "$handsets"); do
  read -r blocks pl pm wl wm _ <<<"$(line_figures "$work/h$i.line")"
  [ "$blocks" -eq $((size / 4096)) ] || { echo "handset $i: $blocks block writes for $((size / 4096)) blocks (a resend?)" >&2; exit 1; }
  pr=$(awk -v a="$pl" -v b="$pm" 'BEGIN { printf "%.4f", a / b }')
  wr=$(awk -v a="$wl" -v p="$pauses" -v b="$wm" 'BEGIN { printf "%.4f", (a + p) / b }')
  rows+=("| $i | $blocks | $pl | $pm | **$pr** | $wl + $pauses | $wm | **$wr** |")
  worst=$(awk -v w="$worst" -v r="$pr" 'BEGIN { print (w == "" || r < w) ? r : w }')
done
mib=$(awk -v b="$size" -v n="$handsets" 'BEGIN { printf "%.3f", b * n / 1048576 }')
cpu=$(awk -v u="$user" -v s="$sys" -v m="$mib" 'BEGIN { printf "%.4f", (u + s) / m }')
finished=$(grep -c '"event":"finished","outcome":"completed"' "$work/events.jsonl" || true)

if [ "$handsets" -eq 1 ]; then echo "### One handset, for comparison"; else echo "### $handsets handsets at once from one command (station)"; fi
echo
echo "Measured $(date '+%Y-%m-%d %H:%M %Z') on $(uname -srm), $(nproc) cores, load average before $load_before, by \`bench/station_bench.sh\`."
echo "\`tarvisel-cli download IMAGE --device H1 .. --device H$handsets --speed 115200 --type normal --yes --quiet --log-dir DIR --json\`:"
echo "$handsets simulated handsets (\`$scenario\`), each on its own pty with every byte paced at 10 bit times both ways,"
echo "$((size / 1024)) KiB each ($((size / 4096)) blocks); the flash of each compared with the image afterwards; $finished of $handsets \`finished\` events \"completed\"."
echo
echo "| handset | blocks | programming least s | measured s | ratio | whole least + pauses s | measured s | ratio |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Whole station (the command and the processes it started for its handsets): ${elapsed} s, CPU ${user} s user + ${sys} s system for $mib MiB, **$cpu s per MiB**;"
[ "$handsets" -gt 1 ] && echo "of it the station process's own (reading, showing and passing on the events, as /proc showed it at most 0.2 s before the end): ${own_user} s user + ${own_sys} s system."
echo
echo "| target | wanted | measured | |"
echo "|---|---|---|---|"
echo "| programming phase of each handset, least / measured | >= 0.97 | $worst (the worst of $handsets) | $(awk -v w="$worst" 'BEGIN { print (w >= 0.97) ? "met" : "**missed**" }') |"
