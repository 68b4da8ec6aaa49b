#!/usr/bin/env bash
# pellucor-service under a flood of lookups in the tests' loopback swarm
# (build/linux/bench/loopback_swarm; nothing leaves 127.0.0.0/8):
#   flood    200 distinct hashes nobody has, asked at once through the API (resolve=1) from 50
#            loopback addresses (127.0.1.1-50, four each: the per-address limit)
#   honest   one more address (127.0.2.1) asking for torrents the swarm has, one after another
#            from 2 s into the flood while it lasts
#   health   GET /healthz every 0.1 s while the flood lasts
# against the reference a user would pick: the same honest lookups of a quiet service (the same
# process, before the flood). Every reply is checked: honest ones 200 with the torrent asked for;
# flood ones a JSON miss (404 not_found or 503 busy). Then the figures: the flood's duration, the
# honest lookups' times (each must end within the service's timeout + 2 s), the slowest
# /healthz (goal < 0.1 s) and the service's peak RSS (goal <= 300 MB).
#   bench/service/flood_bench.sh [honest-lookups]
set -euo pipefail
cd "$(dirname "$0")/../.."
honest_count=${1:-8}
timeout=20
build=build/linux
service=$build/src/service/pellucor-service
swarm=$build/bench/loopback_swarm
python=/usr/bin/python3  # Debian's, with python3-libtorrent
for f in "$service" "$swarm"; do [ -x "$f" ] || { echo "build the linux preset first ($f)" >&2; exit 1; }; done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
. bench/loopback_swarm.sh

start_swarm $((2 * honest_count + 1))
port=18771
"$service" --listen 127.0.0.1:$port --data "$work/service" --no-advert --dht-bootstrap "$bootstrap" \
  --resolve-timeout $timeout >"$work/service.out" 2>"$work/service.err" &
service_pid=$!
for _ in $(seq 500); do curl -s -o /dev/null http://127.0.0.1:$port/ && break; sleep 0.01; done
base=http://127.0.0.1:$port/api/v1/torrents

# honest HASH SERIES: one lookup from the honest address, checked, its seconds recorded.
honest() {
  local out=$work/honest-$1.json code seconds
  read -r code seconds < <(curl -s -o "$out" -w '%{http_code} %{time_total}\n' --max-time 60 \
    --interface 127.0.2.1 "$base/$1?resolve=1")
  if [ "$code" = 200 ] && grep -q "\"infoHash\":\"$1\"" "$out"; then
    record "$2" "$seconds"
  else
    record "$2-missed" "$seconds"
    echo "honest lookup $1: HTTP $code $(head -c 200 "$out")" >>"$work/missed.txt"
  fi
}

# The reference: the honest lookups of a quiet service, its DHT warm from a first one.
take 1
honest "${taken[0]}" warm-up
sleep 3
take "$honest_count"
for h in "${taken[@]}"; do honest "$h" quiet; done
rss_quiet=$(awk '/^VmRSS/ {print $2}' /proc/$service_pid/status)

# The flood: 200 hashes nobody has, four from each of 50 addresses, all at once (one thread
# each, released together); each reply checked, into flood.txt as "STATUS SECONDS" or "bad …".
"$python" - "$port" "$work/flood.txt" <<'PY' &
import http.client, os, sys, threading, time
port, out = int(sys.argv[1]), sys.argv[2]
start = threading.Barrier(201)
results = [None] * 200
def ask(i):
    hash_ = os.urandom(20).hex()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60,
                                            source_address=("127.0.1.%d" % (i % 50 + 1), 0))
    start.wait()
    t0 = time.monotonic()
    try:
        connection.request("GET", "/api/v1/torrents/%s?resolve=1" % hash_)
        reply = connection.getresponse()
        body = reply.read().decode()
        seconds = time.monotonic() - t0
        good = ((reply.status == 404 and body.startswith('{"error":"not_found","outcome":')) or
                (reply.status == 503 and body.startswith('{"error":"busy"')))
        results[i] = "%s%d %.3f" % ("" if good else "bad ", reply.status, seconds)
    except Exception as e:
        results[i] = "bad %s %.3f" % (type(e).__name__, time.monotonic() - t0)
threads = [threading.Thread(target=ask, args=(i,)) for i in range(200)]
for t in threads: t.start()
start.wait()
for t in threads: t.join()
open(out + ".part", "w").write("\n".join(results) + "\n")
os.rename(out + ".part", out)
PY
flood_pid=$!
flood_start=$(now)
sleep 2
# While it lasts: the honest client's lookups one after another, and the health check.
(
  take "$honest_count"
  for h in "${taken[@]}"; do
    [ -f "$work/flood.txt" ] && break
    honest "$h" flood
  done
) &
honest_pid=$!
(
  while [ ! -f "$work/flood.txt" ]; do
    curl -s -o /dev/null -w '%{http_code} %{time_total}\n' --max-time 5 "http://127.0.0.1:$port/healthz"
    sleep 0.1
  done >"$work/health.txt"
) &
health_pid=$!
wait "$flood_pid"
flood_seconds=$(since "$flood_start")
wait "$honest_pid" "$health_pid"
rss_peak=$(awk '/^VmHWM/ {print $2}' /proc/$service_pid/status)
curl -s "http://127.0.0.1:$port/metrics" >"$work/metrics.txt"
kill "$service_pid"; wait "$service_pid" 2>/dev/null || true

status=0
"$python" - "$results" "$work/flood.txt" "$work/health.txt" "$timeout" "$flood_seconds" \
  "$rss_quiet" "$rss_peak" <<'PY' || status=$?
import statistics, sys
series = {}
for line in open(sys.argv[1]):
    name, seconds = line.split()
    series.setdefault(name, []).append(float(seconds))
flood = [line.split() for line in open(sys.argv[2])]
health = [line.split() for line in open(sys.argv[3])]
timeout, flood_seconds = int(sys.argv[4]), float(sys.argv[5])
rss_quiet, rss_peak = int(sys.argv[6]) / 1024, int(sys.argv[7]) / 1024
bad = [f for f in flood if f[0] == "bad"]
quiet, busy_honest = series.get("quiet", []), series.get("flood", [])
missed = series.get("flood-missed", []) + series.get("quiet-missed", [])
print("flood: %d lookups from 50 addresses ended in %.1f s: %d not found (404), %d busy (503), "
      "%d bad replies; slowest %.1f s" % (len(flood), flood_seconds,
      sum(f[0] == "404" for f in flood), sum(f[0] == "503" for f in flood), len(bad),
      max(float(f[-1]) for f in flood if f[0] != "bad")))
for name, values in [("quiet", quiet), ("under the flood", busy_honest)]:
    if values:
        print("honest lookups, %-15s %d found: mean %.2f / median %.2f / max %.2f s"
              % (name, len(values), statistics.mean(values), statistics.median(values),
                 max(values)))
if missed:
    print("honest lookups not found: %d (slowest %.1f s)" % (len(missed), max(missed)))
if quiet and busy_honest:
    print("ratio, honest median under the flood to quiet: %.2f"
          % (statistics.median(busy_honest) / statistics.median(quiet)))
slowest_health = max(float(h[1]) for h in health)
print("/healthz: %d checks, all 200: %s, slowest %.3f s (goal < 0.1)"
      % (len(health), all(h[0] == "200" for h in health), slowest_health))
print("service RSS: %.0f MB quiet, %.0f MB peak (goal <= 300)" % (rss_quiet, rss_peak))
ok = (not bad and all(v <= timeout + 2 for v in busy_honest + missed)
      and all(h[0] == "200" for h in health) and slowest_health < 0.1 and rss_peak <= 300)
for b in bad[:5]:
    print("bad reply:", " ".join(b))
sys.exit(0 if ok else 1)
PY
[ -s "$work/missed.txt" ] && cat "$work/missed.txt"
grep -E '^pellucor_lookups_total' "$work/metrics.txt" || true
exit $status
