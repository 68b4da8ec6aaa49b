#!/usr/bin/env bash
# Cached torrent downloads per second from pellucor-service (GET /magnet-bt/down.php, the
# torrent read from the SQLite store) against nginx serving the same file from disk, both on
# loopback, one worker each, measured with wrk.
#   bench/service/download_bench.sh [seconds] [connections]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-10}
connections=${2:-50}
service=build/linux/service/pellucor-service
[ -x "$service" ] || { echo "build the linux preset first" >&2; exit 1; }
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as nobody under root: they must reach the file
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

# A torrent of about 20 KB (300 files), bencoded here; the script prints its info hash.
hash=$(python3 - "$work/bench.torrent" <<'PY'
import hashlib, sys
def b(x):
    if isinstance(x, int): return b"i%de" % x
    if isinstance(x, bytes): return b"%d:%s" % (len(x), x)
    if isinstance(x, list): return b"l" + b"".join(b(i) for i in x) + b"e"
    return b"d" + b"".join(b(k) + b(v) for k, v in sorted(x.items())) + b"e"
files = [{b"length": 1000 + i, b"path": [b"dir%d" % (i // 50), b"file%04d.bin" % i]} for i in range(300)]
info = {b"name": b"bench", b"piece length": 262144, b"pieces": bytes(20 * 64), b"files": files}
open(sys.argv[1], "wb").write(b({b"info": info}))
print(hashlib.sha1(b(info)).hexdigest())
PY
)
"$service" import --data "$work/data" "$work/bench.torrent" >/dev/null
"$service" --listen 127.0.0.1:18601 --data "$work/data" --no-dht >/dev/null &
mkdir -p "$work/www/magnet-bt"
cp "$work/bench.torrent" "$work/www/magnet-bt/down.torrent"
cat > "$work/nginx.conf" <<NGINX
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  server {
    listen 127.0.0.1:18602;
    root $work/www;
    location / { default_type application/x-bittorrent; }
  }
}
NGINX
nginx -c "$work/nginx.conf" -p "$work" &
sleep 1
size=$(stat -c %s "$work/bench.torrent")
check=$(curl -s "http://127.0.0.1:18601/magnet-bt/down.php?hash=$hash" | cmp - "$work/bench.torrent" && echo same)
[ "$check" = same ] || { echo "the service did not serve the torrent" >&2; exit 1; }

# rate URL: requests per second, every reply checked (status 200, the torrent's exact bytes).
rate() {
  local out
  out=$(wrk -t2 -c"$connections" -d"${seconds}s" -s bench/service/check_reply.lua "$1" -- \
    "$work/bench.torrent")
  grep -q '^checked [1-9][0-9]* good 0 bad$' <<<"$out" || { echo "$1: $out" >&2; exit 1; }
  awk '/Requests\/sec/ {print $2}' <<<"$out"
}
service_rate=$(rate "http://127.0.0.1:18601/magnet-bt/down.php?hash=$hash")
nginx_rate=$(rate "http://127.0.0.1:18602/magnet-bt/down.torrent")
echo "torrent: $size bytes; wrk -t2 -c$connections -d${seconds}s on 127.0.0.1"
echo "pellucor-service: $service_rate requests/s"
echo "nginx (static):   $nginx_rate requests/s"
python3 -c "print('ratio service/nginx: %.2f' % ($service_rate / $nginx_rate))"
