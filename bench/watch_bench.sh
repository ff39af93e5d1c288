#!/usr/bin/env bash
# Benchmark of the production line: 16 simulated handsets at the line rate (115200 bit/s, every
# byte paced both ways), plugged in one after another (a link in the watched folder every 2 s)
# under one `tarvisel-cli watch`. Prints a markdown section: each handset's programming time
# against its line time, the time from its link appearing to the first byte sent to it, the CPU
# of the watch and its handset processes per MiB, and the rows the record holds afterwards.
#   bench/watch_bench.sh                    builds a Release in build-bench/, 1 MiB a handset
#   bench/watch_bench.sh --quick            128 KiB a handset, to try the script
#   bench/watch_bench.sh --cli C --sim S    with programs already built (scripts/bench)
#   bench/watch_bench.sh --handsets N       N handsets instead of 16
#   bench/watch_bench.sh --every SECS       a link every SECS seconds instead of 2
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cli="" sim="" size=$((1024 * 1024)) handsets=16 every=2
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) size=$((128 * 1024)) ;;
    --full) ;;
    --cli) cli=${2:?--cli needs a program}; shift ;;
    --sim) sim=${2:?--sim needs a program}; shift ;;
    --handsets) handsets=${2:?--handsets needs a number}; shift ;;
    --every) every=${2:?--every needs seconds}; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: bench/watch_bench.sh [--quick] [--cli PROGRAM --sim PROGRAM] [--handsets N] [--every SECS]" >&2
       exit 2 ;;
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
    -DTARVISEL_GUI=OFF -DTARVISEL_BENCH=OFF -DTARVISEL_HARDENING=OFF >"$build.watch-configure.log" 2>&1 ||
    { cat "$build.watch-configure.log"; exit 1; }
  cmake --build "$build" --target tarvisel-cli tarvisel-sim >"$build.watch-build.log" 2>&1 ||
    { tail -n 40 "$build.watch-build.log"; exit 1; }
  cli="$build/src/cli/tarvisel-cli" sim="$build/sim/tarvisel-sim"
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
pids=() watch_pid="" watch_cli=""
cleanup() {
  [ -n "$watch_cli" ] && kill -TERM "$watch_cli" 2>/dev/null
  [ -n "$watch_pid" ] && wait "$watch_pid" 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "${WATCH_BENCH_KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
export TARVISEL_SETTINGS="$work/settings" XDG_DATA_HOME="$work/data" LC_ALL=C

# The image: START bytes, then random data up to the trailer in the last 37 bytes.
start=$((0x10000)) version=203
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
{ head -c "$start" /dev/urandom; head -c "$((size - 37))" /dev/urandom
  printf '\xff\x1d\x00'; head -c 14 /dev/zero; le32 "$version"; le32 "$start"; head -c 12 /dev/zero
} >"$work/image.bin"

# The handsets wait behind their ptys from the start; plugging one in is making its link in
# the watched folder, as udev does for a USB serial port.
scenario="rev=$version; reply-ms=0; erase-ms=0; jump-ms=0; pace=on"
for i in $(seq "$handsets"); do
  "$sim" --scenario "$scenario" --flash-size 16M --link "$work/h$i.pty" --save-flash "$work/h$i.flash" \
    --line-log "$work/h$i.line" >"$work/h$i.sim.out" 2>"$work/h$i.sim.err" &
  pids+=($!)
done
for i in $(seq "$handsets"); do
  for _ in $(seq 200); do [ -e "$work/h$i.pty" ] && break; sleep 0.05; done
  [ -e "$work/h$i.pty" ] || { echo "handset $i did not start:" >&2; cat "$work/h$i.sim.err" >&2; exit 1; }
done
ports="$work/serial/by-id"
mkdir -p "$ports"
link() { echo "$ports/usb-Tarvisel_Sim_$(printf %02d "$1")-if00-port0"; }

echo "== watch: $handsets handsets, NORMAL, $((size / 1024)) KiB each, 115200 bit/s, paced, a link every $every s" >&2
# CPU of the watch and of the handset processes it started and reaped, from /usr/bin/time.
/usr/bin/time -f '%e %U %S' -o "$work/watch.time" "$cli" watch "$work/image.bin" --ports-dir "$ports" --speed 115200 \
  --type normal --yes --json --log-dir "$work/logs" --history "$work/history.sqlite" \
  >"$work/events.jsonl" 2>"$work/watch.err" &
watch_pid=$!
for _ in $(seq 200); do grep -q '^watching ' "$work/watch.err" && break; sleep 0.05; done
watch_cli=$(pgrep -P "$watch_pid" || true)  # /usr/bin/time passes no signal on: the watch itself gets them
[ -n "$watch_cli" ] || { echo "the watch did not start:" >&2; cat "$work/watch.err" >&2; exit 1; }
t0=$(date +%s.%N)
for i in $(seq "$handsets"); do
  # On a schedule from the first link, so that the script's own time does not add up.
  at=$(awk -v t0="$t0" -v i="$i" -v e="$every" 'BEGIN { printf "%.6f", t0 + (i - 1) * e }')
  wait_s=$(awk -v at="$at" -v now="$(date +%s.%N)" 'BEGIN { d = at - now; if (d < 0) d = 0; printf "%.3f", d }')
  sleep "$wait_s"
  date +%s.%N >"$work/h$i.linked"
  ln -s "$work/h$i.pty" "$(link "$i")"
done
# Ctrl-C once when every handset has its result: no new downloads, the watch ends.
limit=$((SECONDS + 1800))
until grep -qE "^watch: completed [0-9]+, failed [0-9]+, in progress 0$" "$work/watch.err" &&
      [ "$(grep -c '"event":"finished"' "$work/events.jsonl")" -ge "$handsets" ]; do
  [ $SECONDS -lt $limit ] || { echo "the handsets did not all finish:" >&2; tail -n 20 "$work/watch.err" >&2; exit 1; }
  sleep 0.5
done
kill -INT "$watch_cli"
status=0
wait "$watch_pid" || status=$?  # /usr/bin/time exits with the watch's status
watch_pid="" watch_cli=""
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
pids=()
[ "$status" -eq 0 ] || { echo "the watch ended with status $status:" >&2; tail -n 30 "$work/watch.err" >&2; exit 1; }
for i in $(seq "$handsets"); do
  cmp -s <(tail -c +$((start + 1)) "$work/image.bin") <(tail -c +$((start + 1)) "$work/h$i.flash" | head -c "$size") ||
    { echo "handset $i: its flash differs from the image" >&2; exit 1; }
done

rows=$("$cli" history --history "$work/history.sqlite" --json 2>/dev/null | grep -c . || true)
completed_rows=$("$cli" history --history "$work/history.sqlite" --json --outcome completed 2>/dev/null | grep -c . || true)
read -r elapsed user sys <"$work/watch.time"
table=() worst="" slowest=""
for i in $(seq "$handsets"); do
  read -r blocks pl pm _ _ first <<<"$(awk -f "$root/bench/line_figures.awk" "$work/h$i.line")"
  [ "$blocks" -eq $((size / 4096)) ] || { echo "handset $i: $blocks block writes for $((size / 4096)) blocks (a resend?)" >&2; exit 1; }
  linked=$(cat "$work/h$i.linked")
  lag=$(awk -v a="$linked" -v b="$first" 'BEGIN { printf "%.3f", b - a }')
  pr=$(awk -v a="$pl" -v b="$pm" 'BEGIN { printf "%.4f", a / b }')
  table+=("| $i | $lag | $blocks | $pl | $pm | **$pr** |")
  worst=$(awk -v w="$worst" -v r="$pr" 'BEGIN { if (w == "" || r + 0 < w + 0) w = r; print w }')
  slowest=$(awk -v w="$slowest" -v r="$lag" 'BEGIN { if (w == "" || r + 0 > w + 0) w = r; print w }')
done
mib=$(awk -v b="$size" -v n="$handsets" 'BEGIN { printf "%.3f", b * n / 1048576 }')
cpu=$(awk -v u="$user" -v s="$sys" -v m="$mib" 'BEGIN { printf "%.4f", (u + s) / m }')
met() {  # VALUE TARGET at-least|at-most
  awk -v v="$1" -v t="$2" -v how="$3" 'BEGIN { if (how == "at-least") ok = v + 0 >= t + 0; else ok = v + 0 <= t + 0
    if (ok) print "met"; else print "**missed**" }'
}

echo "### $handsets handsets plugged in one after another under one watch (production line)"
echo
echo "Measured $(date '+%Y-%m-%d %H:%M %Z') on $(uname -srm), $(nproc) cores, load average before $load_before, by \`bench/watch_bench.sh\`."
echo "\`tarvisel-cli watch IMAGE --ports-dir DIR --speed 115200 --type normal --yes --json --log-dir LOGS --history DB\`;"
echo "$handsets simulated handsets (\`$scenario\`), each on its own pty with every byte paced at 10 bit times both ways,"
echo "waiting from the start; each plugged in by making its link in DIR, one every $every s. $((size / 1024)) KiB each"
echo "($((size / 4096)) blocks); the flash of each compared with the image afterwards; the watch ended by one Ctrl-C (SIGINT) once every handset had its result, exit $status."
echo
echo "Link to first byte: from just before the link was made (\`date\`) to the first byte of the version request on the"
echo "handset's line (its line log, on the same clock). Programming: from the first block write to the end of the last"
echo "block's ACK on the line, against the line time of the bytes that crossed in it."
echo
echo "| handset | link to first byte s | blocks | programming least s | measured s | ratio |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
echo
echo "The watch and every handset process it started (\`/usr/bin/time\` of the watch, which reaps them): ${elapsed} s,"
echo "CPU ${user} s user + ${sys} s system for $mib MiB, **$cpu s per MiB**. The record: $rows rows, $completed_rows of them \"completed\"."
echo
echo "| target | wanted | measured | |"
echo "|---|---|---|---|"
echo "| programming phase of each handset, least / measured | >= 0.99 | $worst (the worst of $handsets) | $(met "$worst" 0.99 at-least) |"
echo "| link appeared to the first byte sent | <= 1 s | $slowest s (the slowest of $handsets) | $(met "$slowest" 1 at-most) |"
echo "| rows written | $handsets | $rows ($completed_rows completed) | $([ "$rows" -eq "$handsets" ] && [ "$completed_rows" -eq "$handsets" ] && echo met || echo "**missed**") |"
