#!/usr/bin/env bash
# Time to metadata for a hash the store has never seen, from a local seed on loopback:
# pellucor-service (POST /magnet-bt/index.php on a fresh store, answered once the info
# dictionary came from the seed) against aria2c --bt-metadata-only=true
# --bt-save-metadata=true on the same swarm (found through a one-peer tracker on loopback).
#   bench/service/metadata_bench.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-5}
service=build/linux/service/pellucor-service
[ -x "$service" ] || { echo "build the linux preset first" >&2; exit 1; }
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

# The swarm: the demo seed of a service that is otherwise unused.
"$service" --listen 127.0.0.1:18611 --data "$work/seed" --demo --no-dht >"$work/seed.log" &
for _ in $(seq 50); do grep -q "demo magnet link" "$work/seed.log" 2>/dev/null && break; sleep 0.2; done
peer=$(awk '/demo seed on/ {print $4}' "$work/seed.log")
magnet=$(grep -A1 "demo magnet link" "$work/seed.log" | tail -1 | tr -d ' ')
hash=$(echo "$magnet" | sed 's/.*btih:\([0-9a-f]*\).*/\1/')
seed_port=${peer##*:}

# A tracker that names the seed to every announce, for aria2c (which has no "ask this peer").
python3 - "$seed_port" >/dev/null 2>&1 <<'PY' &
import http.server, socket, struct, sys
peer = socket.inet_aton("127.0.0.1") + struct.pack(">H", int(sys.argv[1]))
class T(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"d8:intervali60e5:peers6:" + peer + b"e"
        self.send_response(200); self.send_header("Content-Length", str(len(body))); self.end_headers()
        self.wfile.write(body)
    def log_message(self, *a): pass
http.server.HTTPServer(("127.0.0.1", 18612), T).serve_forever()
PY
sleep 0.5

now() { date +%s.%N; }
service_total=0
aria_total=0
for round in $(seq "$rounds"); do
  "$service" --listen 127.0.0.1:18613 --data "$work/fresh$round" --no-dht --peer "$peer" >/dev/null &
  pid=$!
  for _ in $(seq 50); do curl -s -o /dev/null http://127.0.0.1:18613/ && break; sleep 0.1; done
  start=$(now)
  curl -s -o "$work/page$round" --data "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A$hash" \
    http://127.0.0.1:18613/magnet-bt/index.php
  end=$(now)
  grep -q "down.php?hash=$hash" "$work/page$round" || { echo "service round $round failed" >&2; exit 1; }
  kill "$pid"; wait "$pid" 2>/dev/null || true
  service_total=$(python3 -c "print($service_total + $end - $start)")

  mkdir -p "$work/aria$round"
  start=$(now)
  aria2c -q -d "$work/aria$round" --bt-metadata-only=true --bt-save-metadata=true \
    --enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false \
    --listen-port=18620-18630 --bt-stop-timeout=30 \
    "$magnet&tr=http%3A%2F%2F127.0.0.1%3A18612%2Fannounce"
  end=$(now)
  ls "$work/aria$round"/*.torrent >/dev/null || { echo "aria2c round $round failed" >&2; exit 1; }
  aria_total=$(python3 -c "print($aria_total + $end - $start)")
done
python3 - "$rounds" "$service_total" "$aria_total" <<'PY'
import sys
n, s, a = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print("time to metadata from a loopback seed, mean of %d rounds:" % n)
print("pellucor-service (POST to page): %.3f s" % (s / n))
print("aria2c --bt-metadata-only:       %.3f s" % (a / n))
print("ratio service/aria2c: %.2f" % (s / a))
PY
