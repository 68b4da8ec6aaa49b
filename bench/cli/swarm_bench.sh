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

# Torrents: per tool 2 x rounds + 1, and 100 for the run of many.
per_tool=$((2 * rounds + 1))
"$swarm" "$work/swarm" $((3 * per_tool + 100)) >"$work/swarm.txt" 2>&1 &
for _ in $(seq 600); do grep -q '^ready' "$work/swarm.txt" && break; sleep 0.1; done
grep -q '^ready' "$work/swarm.txt" || { cat "$work/swarm.txt" >&2; exit 1; }
bootstrap=$(sed -n 's/^bootstrap //p' "$work/swarm.txt")
first_node=$(echo "$bootstrap" | cut -d, -f1 | sed 's/localhost/127.0.0.1/')
mapfile -t hashes < <(awk '/^torrent swarm-extra-/ {print $3}' "$work/swarm.txt")
next=0
take() {  # take N: the next N unused hashes, into the array `taken`
  taken=("${hashes[@]:$next:$1}")
  next=$((next + $1))
}
now() { date +%s.%N; }
since() { "$python" -c "print($(now) - $1)"; }
# check_torrent FILE HASH: the file's info dictionary (or the bare info) hashes to HASH.
check_torrent() {
  "$python" - "$1" "$2" <<'PY' || { echo "bad torrent $1 for $2" >&2; exit 1; }
import hashlib, sys
data = open(sys.argv[1], "rb").read()
if data.startswith(b"d") and b"4:info" in data:
    import libtorrent as lt
    got = str(lt.torrent_info(sys.argv[1]).info_hashes().v1)
else:
    got = hashlib.sha1(data).hexdigest()
sys.exit(0 if got == sys.argv[2] else 1)
PY
}
results=$work/results.txt
: >"$results"
record() { echo "$1 $2" >>"$results"; }

# --- pellucor-convert --swarm ---------------------------------------------------------------
# convert_one DIR STATE HASH: one link, its OK line and file checked.
convert_one() {
  local out
  out=$("$convert" --swarm --dht-bootstrap "$bootstrap" --dht-state "$2" --timeout 60 -d "$1" \
    "magnet:?xt=urn:btih:$3" 2>>"$work/convert.err") || { echo "convert: $out" >&2; exit 1; }
  [[ "$out" == "OK $3 "* ]] || { echo "convert: $out" >&2; exit 1; }
  check_torrent "${out#OK $3 }" "$3"
}
take "$rounds"
n=0
for h in "${taken[@]}"; do
  n=$((n + 1))
  mkdir -p "$work/convert-cold$n"
  t0=$(now)
  convert_one "$work/convert-cold$n" "$work/convert-cold$n/dht-state" "$h"
  record convert-cold "$(since "$t0")"
done
take $((rounds + 1))
warm=("${taken[@]}")
mkdir -p "$work/convert-warm"
convert_one "$work/convert-warm" "$work/convert-warm/dht-state" "${warm[0]}"
for h in "${warm[@]:1}"; do
  t0=$(now)
  convert_one "$work/convert-warm" "$work/convert-warm/dht-state" "$h"
  record convert-warm "$(since "$t0")"
done

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
aria_one() {  # aria_one DIR HASH
  aria2c -q -d "$1" --dht-file-path="$1/dht.dat" "${aria[@]}" "magnet:?xt=urn:btih:$2"
  check_torrent "$1/$2.torrent" "$2"
}
take "$rounds"
n=0
for h in "${taken[@]}"; do
  n=$((n + 1))
  mkdir -p "$work/aria-cold$n"
  t0=$(now)
  aria_one "$work/aria-cold$n" "$h"
  record aria2c-cold "$(since "$t0")"
done
take $((rounds + 1))
warm=("${taken[@]}")
mkdir -p "$work/aria-warm"
aria_one "$work/aria-warm" "${warm[0]}"
for h in "${warm[@]:1}"; do
  t0=$(now)
  aria_one "$work/aria-warm" "$h"
  record aria2c-warm "$(since "$t0")"
done

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
