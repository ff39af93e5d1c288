#!/usr/bin/env bash
# Benchmark of the line's shared record against a PostgreSQL 15 server of its own (started in a
# temporary folder, as nobody when run as root, on a free port of 127.0.0.1): rows sent a second
# from one station's outbox (10,000 rows left by an outage, drained by one record sync), from
# sixteen stations at once, and the time from a download's end to its row on the server.
# Prints a markdown section.
#   bench/record_bench.sh                          builds a Release in build-bench/
#   bench/record_bench.sh --quick                  smaller outboxes, to try the script
#   bench/record_bench.sh --cli C --sim S --fill F with programs already built (scripts/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cli="" sim="" fill="" outage=10000 each=2000 downloads=10
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) outage=1000 each=200 downloads=3 ;;
    --full) ;;
    --cli) cli=${2:?--cli needs a program}; shift ;;
    --sim) sim=${2:?--sim needs a program}; shift ;;
    --fill) fill=${2:?--fill needs a program}; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: bench/record_bench.sh [--quick] [--cli PROGRAM --sim PROGRAM --fill PROGRAM]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$cli" ] || [ -z "$sim" ] || [ -z "$fill" ]; then
  scripts/deps --full
  build="$root/build-bench"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVISEL_TESTS=OFF -DTARVISEL_GUI=OFF \
    -DTARVISEL_BENCH=ON -DTARVISEL_HARDENING=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target tarvisel-cli tarvisel-sim tarvisel_outbox_fill >/dev/null
  cli="$build/src/cli/tarvisel-cli" sim="$build/sim/tarvisel-sim" fill="$build/bench/tarvisel_outbox_fill"
fi
pgbin=${TARVISEL_PG_BIN:-/usr/lib/postgresql/15/bin}

work=$(mktemp -d)
as=()
if [ "$(id -u)" -eq 0 ]; then
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chown 65534:65534 "$work"
fi
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  "${as[@]}" "$pgbin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
export TARVISEL_SETTINGS="$work/settings" LC_ALL=C

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
       echo $((20000 + RANDOM % 20000)))
"${as[@]}" "$pgbin/initdb" -D "$work/data" -U tarvisel --auth=trust -N --no-instructions -E UTF8 --locale=C >"$work/initdb.log" 2>&1
# Settings as Debian's package leaves them (fsync and synchronous commit on): what a line's server does.
"${as[@]}" "$pgbin/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
  -o "-k $work -h 127.0.0.1 -p $port -c max_connections=60" start >/dev/null
url="host=127.0.0.1 port=$port user=tarvisel dbname=postgres"
psql() { "$pgbin/psql" -X -At -h 127.0.0.1 -p "$port" -U tarvisel -d postgres "$@"; }
"$cli" record init "$url" >/dev/null 2>&1
now() { date +%s.%N; }
rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.0f", n / t }'; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# --- one station, an outbox left by an outage ---
"$fill" "$work/outage.sqlite" "$outage" station-0
t0=$(now)
"$cli" record sync --record "$url" --history "$work/outage.sqlite" 2>"$work/sync.err"
t1=$(now)
one=$(secs "$t0" "$t1")
sent=$(psql -c "SELECT count(*) FROM downloads WHERE station = 'station-0'")
[ "$sent" -eq "$outage" ] || { echo "one station: $sent rows of $outage on the server" >&2; exit 1; }

# --- sixteen stations at once ---
for s in $(seq 1 16); do "$fill" "$work/station$s.sqlite" "$each" "station-$s" & done
wait
pids=()
t0=$(now)
for s in $(seq 1 16); do
  "$cli" record sync --record "$url" --history "$work/station$s.sqlite" 2>"$work/sync$s.err" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
t1=$(now)
sixteen=$(secs "$t0" "$t1")
total=$(psql -c "SELECT count(DISTINCT uuid) FROM downloads WHERE station <> 'station-0'")
[ "$total" -eq $((16 * each)) ] || { echo "sixteen stations: $total rows of $((16 * each))" >&2; exit 1; }

# --- a download's end to its row on the server ---
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
{ head -c 16384 /dev/urandom; head -c $((65536 - 37)) /dev/urandom
  printf '\xff\x1d\x00'; head -c 14 /dev/zero; le32 203; le32 16384; head -c 12 /dev/zero; } >"$work/fw.bin"
for i in $(seq 1 "$downloads"); do
  "$sim" --scenario "start=download; erase-ms=0" --link "$work/pty" --flash-size 1M >/dev/null 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -e "$work/pty" ] && break; sleep 0.05; done
  "$cli" download "$work/fw.bin" --device "$work/pty" --type emergency --speed 115200 --quiet \
    --history "$work/downloads.sqlite" --record "$url" --unit "bench-$i" 2>>"$work/downloads.err" ||
    { echo "download $i failed" >&2; tail "$work/downloads.err" >&2; exit 1; }
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""
done
# The row's end is the station's clock, its received time the server's: the same machine here.
read -r lat_median lat_max lat_n < <(psql -F ' ' -c "SELECT round(percentile_cont(0.5) WITHIN GROUP (ORDER BY ms)), round(max(ms)), count(*) FROM
  (SELECT extract(epoch FROM received - \"end\") * 1000 AS ms FROM downloads WHERE unit LIKE 'bench-%') d")

echo "### The shared record (PostgreSQL 15 on this machine, over TCP on 127.0.0.1)"
echo ""
echo "Server: Debian's postgresql-15 as installed (fsync and synchronous commit on), started by the script;"
echo "each station's outbox is its SQLite record; \`record sync\` sends it in statements of 500 rows, oldest first."
echo ""
echo "| what | rows | time s | rows/s |"
echo "|---|---|---|---|"
echo "| one station: an outbox left by an outage, drained by one \`record sync\` | $outage | $one | $(rate "$outage" "$one") |"
echo "| sixteen stations at once, each \`record sync\` of its own outbox | $((16 * each)) | $sixteen | $(rate $((16 * each)) "$sixteen") |"
echo ""
echo "From a download's end (its row's \`end\`, the station's clock) to its row committed on the server (\`received\`, the server's clock; one machine, one clock): median $lat_median ms, most $lat_max ms over $lat_n downloads (goal: under 2 s)."
