#!/usr/bin/env bash
# Time to a saved .torrent with pellucor-convert --swarm in the tests' loopback swarm
# (build/linux/bench/loopback_swarm: about twenty DHT nodes named localhost:PORT and seeds
# announcing on them; nothing leaves 127.0.0.1), against the references a user would pick, in
# one run, each measurement on a torrent no other measurement touched:
#   convert   pellucor-convert --swarm --dht-bootstrap ... LINK, a process per link
#   aria2c    aria2c --bt-metadata-only=true --bt-save-metadata=true, a process per link
#   floor     a bare libtorrent program (python3-libtorrent, bench/service/metadata_floor.py)
#             that adds the link and stops at metadata_received_alert, asking the DHT at once
#   cold: an empty DHT state, timed from the process's start to the saved file
#   warm: convert and aria2c start from the DHT state a first run of theirs saved (a fresh
#         process, as a script's next call is); the floor keeps its session running, its DHT
#         filled, and is timed from the add (a stricter floor)
# Every saved file is checked (the info dictionary hashes to the link's hash) before any figure
# is printed. Then 100 links in one run with -j 16: every one must be saved.
#   bench/cli/swarm_bench.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-5}
settle=3
build=build/linux
convert=$build/src/cli/pellucor-convert
swarm=$build/bench/loopback_swarm
floor=bench/service/metadata_floor.py
python=/usr/bin/python3  # Debian's, with python3-libtorrent
for f in "$convert" "$swarm"; do [ -x "$f" ] || { echo "build the linux preset first ($f)" >&2; exit 1; }; done
command -v aria2c >/dev/null || { echo "aria2c is needed (apt-get install aria2)" >&2; exit 1; }
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
. bench/loopback_swarm.sh

# Torrents: per tool 2 x rounds + 1, and 100 for the run of many.
per_tool=$((2 * rounds + 1))
start_swarm $((3 * per_tool + 100))

# cold_and_warm NAME RUN: `rounds` links, each by RUN DIR HASH in a directory of its own (cold),
# then 1 + `rounds` in one directory, whose DHT state the first run there leaves (warm; the first
# is not timed). Series NAME-cold and NAME-warm.
cold_and_warm() {
  local n=0 h t0 warm
  take "$rounds"
  for h in "${taken[@]}"; do
    n=$((n + 1))
    mkdir -p "$work/$1-cold$n"
    t0=$(now)
    "$2" "$work/$1-cold$n" "$h"
    record "$1-cold" "$(since "$t0")"
  done
  take $((rounds + 1))
  warm=("${taken[@]}")
  mkdir -p "$work/$1-warm"
  "$2" "$work/$1-warm" "${warm[0]}"
  for h in "${warm[@]:1}"; do
    t0=$(now)
    "$2" "$work/$1-warm" "$h"
    record "$1-warm" "$(since "$t0")"
  done
}

# --- pellucor-convert --swarm ---------------------------------------------------------------
# convert_one DIR HASH: one link, the DHT state in DIR; its OK line and file checked.
convert_one() {
  local out
  out=$("$convert" --swarm --dht-bootstrap "$bootstrap" --dht-state "$1/dht-state" --timeout 60 \
    -d "$1" "magnet:?xt=urn:btih:$2" 2>>"$work/convert.err") || { echo "convert: $out" >&2; exit 1; }
  [[ "$out" == "OK $2 "* ]] || { echo "convert: $out" >&2; exit 1; }
  check_torrent "${out#OK $2 }" "$2"
}
cold_and_warm convert convert_one

# --- the floor ------------------------------------------------------------------------------
take "$rounds"
n=0
for h in "${taken[@]}"; do
  n=$((n + 1))
  mkdir -p "$work/floor-cold$n"
  t0=$(now)
  out=$("$python" "$floor" --announce "$bootstrap" "$work/floor-cold$n" 0 "$h")
  t1=$(now)
  if [ "$out" = "$h failed" ]; then record floor-cold-failed 1; continue; fi
  check_torrent "$work/floor-cold$n/$h.info" "$h"
  record floor-cold "$("$python" -c "print($t1 - $t0)")"
done
take $((rounds + 1))
warm=("${taken[@]}")
mkdir -p "$work/floor-warm"
"$python" "$floor" --announce "$bootstrap" "$work/floor-warm" "$settle" "${warm[@]}" \
  >"$work/floor-warm.txt"
for h in "${warm[@]:1}"; do
  seconds=$(awk -v h="$h" '$1 == h {print $2}' "$work/floor-warm.txt")
  if [ -z "$seconds" ] || [ "$seconds" = failed ]; then record floor-warm-failed 1; continue; fi
  check_torrent "$work/floor-warm/$h.info" "$h"
  record floor-warm "$seconds"
done

# --- aria2c ---------------------------------------------------------------------------------
aria=(--enable-dht=true --dht-entry-point="$first_node" --bt-metadata-only=true
  --bt-save-metadata=true --bt-enable-lpd=false --enable-peer-exchange=false --bt-stop-timeout=60
  --listen-port=18740-18749 --dht-listen-port=18750-18759 --enable-dht6=false)
aria_one() {  # aria_one DIR HASH: the DHT state in DIR
  aria2c -q -d "$1" --dht-file-path="$1/dht.dat" "${aria[@]}" "magnet:?xt=urn:btih:$2"
  check_torrent "$1/$2.torrent" "$2"
}
cold_and_warm aria2c aria_one

# --- 100 links, -j 16, one session ----------------------------------------------------------
take 100
mkdir -p "$work/many"
for h in "${taken[@]}"; do echo "magnet:?xt=urn:btih:$h"; done >"$work/many.txt"
t0=$(now)
"$convert" --swarm --dht-bootstrap "$bootstrap" --dht-state "$work/many/dht-state" -j 16 \
  -d "$work/many" -i "$work/many.txt" >"$work/many.out" 2>"$work/many.err" || true
many_seconds=$(since "$t0")
many_saved=0
for h in "${taken[@]}"; do
  line=$(grep "^OK $h " "$work/many.out" || true)
  [ -n "$line" ] || continue
  check_torrent "${line#OK $h }" "$h"
  many_saved=$((many_saved + 1))
done

# --- figures --------------------------------------------------------------------------------
"$python" - "$results" "$rounds" "$many_saved" "$many_seconds" <<'PY'
import statistics, sys
series = {}
for line in open(sys.argv[1]):
    name, seconds = line.split()
    series.setdefault(name, []).append(float(seconds))
print("time to a saved .torrent in the loopback swarm, %s rounds each (mean / median, s):"
      % sys.argv[2])
for name in ["convert", "floor", "aria2c"]:
    for phase in ["cold", "warm"]:
        values = series["%s-%s" % (name, phase)]
        failed = len(series.get("%s-%s-failed" % (name, phase), []))
        print("  %-8s %-4s  %.3f / %.3f%s" % (
            name, phase, statistics.mean(values), statistics.median(values),
            "   (%d of %d found nothing in 60 s)" % (failed, failed + len(values)) if failed else ""))
for phase in ["cold", "warm"]:
    c = statistics.mean(series["convert-" + phase])
    for other in ["floor", "aria2c"]:
        print("ratio convert/%s (%s): %.2f" % (other, phase, c / statistics.mean(series[other + "-" + phase])))
print("100 links, -j 16, one run: %s saved in %.1f s" % (sys.argv[3], float(sys.argv[4])))
PY
[ "$many_saved" = 100 ] || { tail -20 "$work/many.err" >&2; exit 1; }
