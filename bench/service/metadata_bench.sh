#!/usr/bin/env bash
# Time to metadata in the tests' loopback swarm (build/linux/bench/loopback_swarm: about twenty
# DHT nodes named localhost:PORT and seeds announcing on them; nothing leaves 127.0.0.1), cold
# and warm, for
#   pellucor-service    POST /download.aspx on a fresh store (the desktop tool's first route)
#   aria2c              --bt-metadata-only=true, DHT from the same bootstrap node
#   floor               a bare libtorrent program (python3-libtorrent, metadata_floor.py) that
#                       adds the magnet link and stops at metadata_received_alert
#   floor + announce    the same, asking the DHT at once (force_dht_announce) after the add
# all in one run, each measurement on a torrent no other measurement touched.
#   cold: a fresh process with an empty DHT, timed from its start to the metadata
#   warm: a process running for a few seconds with its DHT filled, timed from the request
# Every timed reply is checked (HTTP status, and the info dictionary hashing to the hash asked
# for) before any figure is printed. Then 50 lookups in a row through the service: none may fail.
#   bench/service/metadata_bench.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-5}
settle=3
build=build/linux
service=$build/src/service/pellucor-service
swarm=$build/bench/loopback_swarm
floor=bench/service/metadata_floor.py
python=/usr/bin/python3  # Debian's, with python3-libtorrent
for f in "$service" "$swarm"; do [ -x "$f" ] || { echo "build the linux preset first ($f)" >&2; exit 1; }; done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
. bench/loopback_swarm.sh

# Torrents: per tool `rounds` cold ones and 1 + `rounds` warm ones, and 50 for the run in a row.
per_tool=$((2 * rounds + 1))
start_swarm $((4 * per_tool + 50))

# --- pellucor-service -------------------------------------------------------------------------
port=18731
start_service() {  # start_service DATA-DIR: runs it in the background as $service_pid
  "$service" --listen 127.0.0.1:$port --data "$1" --no-advert --dht-bootstrap "$bootstrap" \
    >"$1.out" 2>"$1.err" &
  service_pid=$!
  for _ in $(seq 500); do curl -s -o /dev/null http://127.0.0.1:$port/ && return; sleep 0.01; done
  echo "the service did not start" >&2; exit 1
}
ask_service() {  # ask_service HASH OUT: the first route; checks status and bytes
  local code
  code=$(curl -s -o "$2" -w '%{http_code}' --max-time 60 \
    --data "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A$1" http://127.0.0.1:$port/download.aspx)
  [ "$code" = 200 ] || { echo "service: HTTP $code for $1" >&2; return 1; }
  check_torrent "$2" "$1"
}
n=0
take "$rounds"
for h in "${taken[@]}"; do
  n=$((n + 1))
  t0=$(now)
  start_service "$work/service-cold$n"
  ask_service "$h" "$work/s-$h.torrent"
  record service-cold "$(since "$t0")"
  kill "$service_pid"; wait "$service_pid" 2>/dev/null || true
done
start_service "$work/service-warm"
take $((rounds + 1))
warm=("${taken[@]}")
ask_service "${warm[0]}" "$work/s-${warm[0]}.torrent"
sleep "$settle"
for h in "${warm[@]:1}"; do
  t0=$(now)
  ask_service "$h" "$work/s-$h.torrent"
  record service-warm "$(since "$t0")"
done

# 50 lookups in a row through the loopback DHT, each a torrent the store never saw.
in_a_row_failed=0
in_a_row_start=$(now)
take 50
for h in "${taken[@]}"; do
  ask_service "$h" "$work/s-$h.torrent" 2>>"$work/in-a-row.err" || in_a_row_failed=$((in_a_row_failed + 1))
done
in_a_row_seconds=$("$python" -c "print($(now) - $in_a_row_start)")
kill "$service_pid"; wait "$service_pid" 2>/dev/null || true

# --- piece layers: what they add -----------------------------------------------------------
# The hybrid and the v2-only torrent asked for by their SHA-256 through a warm service with a
# fresh store, once waiting for the piece layers (the default) and once not (grace 0); every
# reply checked: the torrent, with its layers or without.
hybrid_v2=$(awk '/^torrent swarm-hybrid / {print $4}' "$work/swarm.txt")
v2_only=$(awk '/^torrent swarm-v2 / {print $4}' "$work/swarm.txt")
for variant in layers no-layers; do
  grace=()
  [ "$variant" = no-layers ] && grace=(--piece-layers-grace 0)
  want=true
  [ "$variant" = no-layers ] && want=false
  for n in $(seq "$rounds"); do
    for h in "$hybrid_v2" "$v2_only"; do
      "$service" --listen 127.0.0.1:$port --data "$work/$variant$n-${h:0:8}" --no-advert \
        --dht-bootstrap "$bootstrap" "${grace[@]}" >/dev/null 2>&1 &
      service_pid=$!
      for _ in $(seq 500); do curl -s -o /dev/null http://127.0.0.1:$port/ && break; sleep 0.01; done
      sleep "$settle"
      t0=$(now)
      code=$(curl -s -o "$work/$variant.json" -w '%{http_code}' --max-time 60 \
        "http://127.0.0.1:$port/api/v1/torrents/$h?resolve=1")
      t1=$(now)
      [ "$code" = 200 ] && grep -q "\"infoHashV2\":\"$h\"" "$work/$variant.json" &&
        grep -q "\"pieceLayers\":$want" "$work/$variant.json" ||
        { echo "service ($variant): HTTP $code for $h: $(cat "$work/$variant.json")" >&2; exit 1; }
      record "v2-$variant" "$("$python" -c "print($t1 - $t0)")"
      kill "$service_pid"; wait "$service_pid" 2>/dev/null || true
    done
  done
done

# --- the floor, bare and with an announce ---------------------------------------------------
for variant in floor floor-announce; do
  extra=()
  [ "$variant" = floor-announce ] && extra=(--announce)
  # A reference that finds nothing within a minute is counted as failed and left out of its
  # mean (bare libtorrent does not always ask the DHT in time).
  n=0
  take "$rounds"
  for h in "${taken[@]}"; do
    n=$((n + 1))
    mkdir -p "$work/$variant-cold$n"
    t0=$(now)
    out=$("$python" "$floor" "${extra[@]}" "$bootstrap" "$work/$variant-cold$n" 0 "$h")
    t1=$(now)
    if [ "$out" = "$h failed" ]; then record "$variant-cold-failed" 1; continue; fi
    check_torrent "$work/$variant-cold$n/$h.info" "$h"
    record "$variant-cold" "$("$python" -c "print($t1 - $t0)")"
  done
  mkdir -p "$work/$variant-warm"
  take $((rounds + 1))
  warm=("${taken[@]}")
  "$python" "$floor" "${extra[@]}" "$bootstrap" "$work/$variant-warm" "$settle" "${warm[@]}" \
    >"$work/$variant-warm.txt"
  for h in "${warm[@]:1}"; do
    seconds=$(awk -v h="$h" '$1 == h {print $2}' "$work/$variant-warm.txt")
    if [ -z "$seconds" ] || [ "$seconds" = failed ]; then record "$variant-warm-failed" 1; continue; fi
    check_torrent "$work/$variant-warm/$h.info" "$h"
    record "$variant-warm" "$seconds"
  done
done

# --- aria2c ---------------------------------------------------------------------------------
aria=(--enable-dht=true --dht-entry-point="$first_node" --bt-metadata-only=true
  --bt-save-metadata=true --bt-enable-lpd=false --enable-peer-exchange=false --bt-stop-timeout=60
  --listen-port=18740-18749 --dht-listen-port=18750-18759 --enable-dht6=false)
n=0
take "$rounds"
for h in "${taken[@]}"; do
  n=$((n + 1))
  dir=$work/aria-cold$n
  mkdir -p "$dir"
  t0=$(now)
  aria2c -q -d "$dir" --dht-file-path="$dir/dht.dat" "${aria[@]}" "magnet:?xt=urn:btih:$h"
  t1=$(now)
  check_torrent "$dir/$h.torrent" "$h"
  record aria2c-cold "$("$python" -c "print($t1 - $t0)")"
done
# Warm: one aria2c kept running, magnet links added over its JSON-RPC interface.
dir=$work/aria-warm
mkdir -p "$dir"
aria2c -q -d "$dir" --dht-file-path="$dir/dht.dat" "${aria[@]}" --enable-rpc \
  --rpc-listen-port=18760 >/dev/null 2>&1 &
for _ in $(seq 100); do curl -s -o /dev/null http://127.0.0.1:18760/jsonrpc && break; sleep 0.05; done
add_magnet() {
  curl -s -o /dev/null http://127.0.0.1:18760/jsonrpc -d \
    "{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"method\":\"aria2.addUri\",\"params\":[[\"magnet:?xt=urn:btih:$1\"]]}"
}
wait_file() {  # wait_file PATH: up to 60 s
  for _ in $(seq 6000); do [ -s "$1" ] && return; sleep 0.01; done
  echo "aria2c: no metadata in $1" >&2; exit 1
}
take $((rounds + 1))
warm=("${taken[@]}")
add_magnet "${warm[0]}"
wait_file "$dir/${warm[0]}.torrent"
sleep "$settle"
for h in "${warm[@]:1}"; do
  t0=$(now)
  add_magnet "$h"
  wait_file "$dir/$h.torrent"
  t1=$(now)
  check_torrent "$dir/$h.torrent" "$h"
  record aria2c-warm "$("$python" -c "print($t1 - $t0)")"
done

# --- figures --------------------------------------------------------------------------------
"$python" - "$results" "$rounds" "$in_a_row_failed" "$in_a_row_seconds" <<'PY'
import statistics, sys
series = {}
for line in open(sys.argv[1]):
    name, seconds = line.split()
    series.setdefault(name, []).append(float(seconds))
rounds = int(sys.argv[2])
print("time to metadata in the loopback swarm, %d rounds each (mean / median, seconds):" % rounds)
for name in ["service", "floor", "floor-announce", "aria2c"]:
    for phase in ["cold", "warm"]:
        values = series["%s-%s" % (name, phase)]
        failed = len(series.get("%s-%s-failed" % (name, phase), []))
        print("  %-16s %-4s  %.3f / %.3f%s" % (name, phase, statistics.mean(values),
                                               statistics.median(values),
                                               "   (%d of %d found nothing in 60 s)" % (failed, failed + len(values)) if failed else ""))
for phase in ["cold", "warm"]:
    s = statistics.mean(series["service-" + phase])
    for other in ["floor", "floor-announce", "aria2c"]:
        print("ratio service/%s (%s): %.2f" % (other, phase, s / statistics.mean(series[other + "-" + phase])))
layers, none = statistics.mean(series["v2-layers"]), statistics.mean(series["v2-no-layers"])
print("v2 and hybrid by SHA-256, warm: %.3f s with piece layers, %.3f s without: layers add %.3f s"
      % (layers, none, layers - none))
print("50 lookups in a row through the service: %d failed, %.1f s in all" %
      (int(sys.argv[3]), float(sys.argv[4])))
PY
[ "$in_a_row_failed" = 0 ] || { cat "$work/in-a-row.err" >&2; exit 1; }
