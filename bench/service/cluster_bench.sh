#!/usr/bin/env bash
# Cached torrent downloads per second (GET /magnet-bt/down.php of a stored torrent) through nginx
# in front of pellucor-service instances on one PostgreSQL store, against nginx serving the same
# file from disk, in one run on loopback, measured with wrk:
#   static       nginx alone, the .torrent from disk: the reference
#   cached-1/2   the deployed site (deploy/nginx/pellucor.conf) in front of one / two instances;
#                nginx's proxy_cache keeps the download after the first request
#   proxied-1/2  the same site with proxy_cache off: every download reaches an instance (the
#                torrent in its memory cache after the first store read)
#   direct       one instance without nginx
# Every reply is checked (status 200 and the torrent's exact bytes, bench/service/check_reply.lua)
# before any figure is printed. All six are measured in turn, `rounds` times; medians are printed.
# Each nginx has one worker; each instance runs one thread.
#   bench/service/cluster_bench.sh [seconds] [connections] [rounds]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-5}
connections=${2:-50}
rounds=${3:-3}
build=build/linux
service=$build/src/service/pellucor-service
postgres=$build/bench/postgres_server
for f in "$service" "$postgres"; do
  [ -x "$f" ] || { echo "build the linux preset first ($f)" >&2; exit 1; }
done
work=$(mktemp -d)
# As root, nginx's workers run as nobody: they must reach the files they serve and their cache.
chmod 755 "$work"
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
torrent=$work/bench.torrent
download="/magnet-bt/down.php?hash=$hash"

"$postgres" >"$work/postgres.txt" 2>&1 &
for _ in $(seq 600); do grep -q '^ready' "$work/postgres.txt" && break; sleep 0.1; done
uri=$(sed -n 's/^ready //p' "$work/postgres.txt")
[ -n "$uri" ] || { cat "$work/postgres.txt" >&2; exit 1; }
"$service" import --store "$uri" "$torrent" >/dev/null

# Two instances on the store.
port_a=18611 port_b=18612
for port in $port_a $port_b; do
  # nginx in front, as deployed: its requests count for the client it names, its connections
  # are not held to one client's (the direct series' wrk is on the same address).
  "$service" --listen 127.0.0.1:$port --data "$work/instance-$port" --store "$uri" --no-dht \
    --no-advert --trusted-proxy 127.0.0.1 >"$work/instance-$port.out" 2>"$work/instance-$port.err" &
done
wait_for() {  # wait_for URL: until it answers 200, up to 10 s
  for _ in $(seq 500); do
    [ "$(curl -s -o /dev/null -w '%{http_code}' "$1")" = 200 ] && return
    sleep 0.02
  done
  echo "no answer from $1" >&2; exit 1
}
wait_for http://127.0.0.1:$port_a/healthz
wait_for http://127.0.0.1:$port_b/healthz

# nginx_start NAME PORT HTTP-BLOCK-FILE: one nginx with one worker, its own prefix.
nginx_start() {
  local prefix=$work/nginx-$1
  mkdir -p "$prefix/temp"
  cat >"$prefix/nginx.conf" <<NGINX
daemon off;
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $prefix/temp/body;
  proxy_temp_path $prefix/temp/proxy;
  fastcgi_temp_path $prefix/temp/fastcgi;
  uwsgi_temp_path $prefix/temp/uwsgi;
  scgi_temp_path $prefix/temp/scgi;
$(cat "$3")
}
NGINX
  nginx -p "$prefix/" -c "$prefix/nginx.conf" -e "$prefix/error.log" &
}
# site NAME PORT CACHE UPSTREAM-PORT...: the deployed site on PORT in front of the instances,
# with proxy_cache on or off.
site() {
  local name=$1 port=$2 cache=$3
  shift 3
  local servers=""
  for upstream in "$@"; do
    servers+="    server 127.0.0.1:$upstream max_fails=2 fail_timeout=10s;\\n"
  done
  sed -e "s|^    server 127.0.0.1:8601 .*|$servers|" -e '/^    server 127.0.0.1:8602 /d' \
    -e "s|listen 80;|listen 127.0.0.1:$port;|" \
    -e "s|/var/cache/pellucor-nginx|$work/nginx-$name/cache|" \
    deploy/nginx/pellucor.conf >"$work/$name.site"
  [ "$cache" = on ] || sed -i 's|proxy_cache pellucor;|proxy_cache off;|' "$work/$name.site"
  nginx_start "$name" "$port" "$work/$name.site"
}
mkdir -p "$work/www/magnet-bt"
cp "$torrent" "$work/www/magnet-bt/down.torrent"
chmod -R a+rX "$work/www"
cat >"$work/static.site" <<NGINX
  server {
    listen 127.0.0.1:18620;
    root $work/www;
    location / { default_type application/x-bittorrent; }
  }
NGINX
nginx_start static 18620 "$work/static.site"
site cached-1 18621 on $port_a
site cached-2 18622 on $port_a $port_b
site proxied-1 18623 off $port_a
site proxied-2 18624 off $port_a $port_b

declare -A url=(
  [static]=http://127.0.0.1:18620/magnet-bt/down.torrent
  [cached-1]=http://127.0.0.1:18621$download
  [cached-2]=http://127.0.0.1:18622$download
  [proxied-1]=http://127.0.0.1:18623$download
  [proxied-2]=http://127.0.0.1:18624$download
  [direct]=http://127.0.0.1:$port_a$download
)
series=(static cached-1 cached-2 proxied-1 proxied-2 direct)
for name in "${series[@]}"; do
  wait_for "${url[$name]}"
  curl -s "${url[$name]}" | cmp -s - "$torrent" || { echo "$name: not the torrent" >&2; exit 1; }
done

results=$work/results.txt
: >"$results"
for round in $(seq "$rounds"); do
  for name in "${series[@]}"; do
    out=$(wrk -t2 -c"$connections" -d"${seconds}s" -s bench/service/check_reply.lua \
      "${url[$name]}" -- "$torrent")
    rate=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    read -r good bad < <(awk '/^checked/ {print $2, $4}' <<<"$out")
    if [ -z "$rate" ] || [ "${bad:-1}" != 0 ] || [ "${good:-0}" = 0 ]; then
      echo "$name (round $round): $good good and $bad bad replies" >&2
      echo "$out" >&2
      exit 1
    fi
    echo "$name $rate $good" >>"$results"
  done
done

python3 - "$results" "$rounds" "$seconds" "$connections" "$(stat -c %s "$torrent")" \
  "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import statistics, sys
path, rounds, seconds, connections, size, load = sys.argv[1:]
rates, checked = {}, {}
for line in open(path):
    name, rate, good = line.split()
    rates.setdefault(name, []).append(float(rate))
    checked[name] = checked.get(name, 0) + int(good)
print("torrent: %s bytes; wrk -t2 -c%s -d%ss, %s rounds on 127.0.0.1; load average %s"
      % (size, connections, seconds, rounds, load))
print("downloads per second (median; every reply checked: status 200 and the exact bytes):")
for name in ["static", "cached-1", "cached-2", "proxied-1", "proxied-2", "direct"]:
    print("  %-10s %9.0f   (rounds: %s; %d replies checked)" % (
        name, statistics.median(rates[name]), ", ".join("%.0f" % r for r in rates[name]),
        checked[name]))
m = {name: statistics.median(values) for name, values in rates.items()}
for a, b in [("cached-1", "static"), ("cached-2", "static"), ("cached-2", "cached-1"),
             ("proxied-1", "static"), ("proxied-2", "static"), ("proxied-2", "proxied-1"),
             ("direct", "static")]:
    print("ratio %s/%s: %.2f" % (a, b, m[a] / m[b]))
PY
