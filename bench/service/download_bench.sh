#!/usr/bin/env bash
# Cached torrent downloads per second from pellucor-service (GET /magnet-bt/down.php, the
# torrent imported into the store and in the service's memory cache) against nginx serving the
# same file from disk, side by side in rounds, for a small torrent (about 15 KB) and a large one
# (about 5 MB); then the service's resident memory while 500 clients download the large one at
# once. Both servers on loopback with one worker each and their usual settings (nginx: sendfile,
# tcp_nopush; both write an access log line per request). The load is build/linux/bench/
# download_load: keep-alive connections that each ask again as soon as a reply is in, every
# reply checked as it arrives (status 200, Content-Length, the torrent's exact bytes). A run with
# any other reply, or a connection that failed, fails the benchmark before a figure is printed.
# (wrk's Lua reply check buffers each body and tops out near one 5 MB reply a second.)
#   bench/service/download_bench.sh [seconds] [rounds] [connections]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-5}
rounds=${2:-5}
connections=${3:-50}
crowd=500
service=${PELLUCOR_SERVICE:-build/linux/src/service/pellucor-service}
load=build/linux/bench/download_load
for f in "$service" "$load"; do [ -x "$f" ] || { echo "build the linux preset first ($f)" >&2; exit 1; }; done
for tool in nginx curl python3; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/bootstrap installs it)" >&2; exit 1; }
done
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as nobody under root: they must reach the files
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
# The load keeps a socket per connection, the service one each too.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# make_torrent FILE KIND: bencodes a torrent ("small": 300 files, about 15 KB; "large": one
# file, about 5 MB of piece hashes) and prints its info hash.
make_torrent() {
  python3 - "$1" "$2" <<'PY'
import hashlib, sys
def b(x):
    if isinstance(x, int): return b"i%de" % x
    if isinstance(x, bytes): return b"%d:%s" % (len(x), x)
    if isinstance(x, list): return b"l" + b"".join(b(i) for i in x) + b"e"
    return b"d" + b"".join(b(k) + b(v) for k, v in sorted(x.items())) + b"e"
if sys.argv[2] == "small":
    files = [{b"length": 1000 + i, b"path": [b"dir%d" % (i // 50), b"file%04d.bin" % i]}
             for i in range(300)]
    info = {b"name": b"small", b"piece length": 262144, b"pieces": bytes(20 * 64), b"files": files}
else:
    pieces = 5 * 1024 * 1024 // 20
    hashes = b"".join(hashlib.sha1(b"%d" % i).digest() for i in range(pieces))
    info = {b"name": b"large.bin", b"piece length": 16384, b"length": pieces * 16384,
            b"pieces": hashes}
open(sys.argv[1], "wb").write(b({b"info": info}))
print(hashlib.sha1(b(info)).hexdigest())
PY
}
mkdir -p "$work/www/magnet-bt"
declare -A hash size
for kind in small large; do
  hash[$kind]=$(make_torrent "$work/www/magnet-bt/$kind.torrent" "$kind")
  size[$kind]=$(stat -c %s "$work/www/magnet-bt/$kind.torrent")
  "$service" import --data "$work/data" "$work/www/magnet-bt/$kind.torrent" >/dev/null
done

# The service on a port the system picks; all of the load's connections come from one address.
"$service" --listen 127.0.0.1:0 --data "$work/data" --no-dht --no-advert \
  --max-client-connections 0 --max-connections 4096 >"$work/service.out" 2>"$work/service.log" &
service_pid=$!
for _ in $(seq 100); do grep -q 'serving http://' "$work/service.out" && break; sleep 0.1; done
service_port=$(sed -n 's|.*serving http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/service.out")
[ -n "$service_port" ] || { cat "$work/service.out" "$work/service.log" >&2; exit 1; }

nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<NGINX
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
worker_rlimit_nofile 8192;
events { worker_connections 4096; }
http {
  sendfile on;
  tcp_nopush on;
  access_log $work/nginx-access.log;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    location / { default_type application/x-bittorrent; }
  }
}
NGINX
nginx -c "$work/nginx.conf" -p "$work" &
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && break; sleep 0.1; done

service_path() { echo "/magnet-bt/down.php?hash=${hash[$1]}"; }
nginx_path() { echo "/magnet-bt/$1.torrent"; }
# Both serve the file's exact bytes before anything is timed (this also fills the cache).
for kind in small large; do
  for url in "$service_port$(service_path $kind)" "$nginx_port$(nginx_path $kind)"; do
    curl -sf "http://127.0.0.1:$url" | cmp -s - "$work/www/magnet-bt/$kind.torrent" ||
      { echo "127.0.0.1:$url does not serve $kind.torrent" >&2; exit 1; }
  done
done

nginx_worker=$(pgrep -P "$(cat "$work/nginx.pid")" | head -1)
[ -n "$nginx_worker" ] || { echo "no nginx worker" >&2; exit 1; }
# CPU time a process used so far (user and system, all its threads), in clock ticks.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# rate PORT PATH KIND CONNECTIONS PID: good replies per second, and the CPU microseconds the
# serving process PID spent per reply; any other reply fails the run. On a machine shared with
# other work the rate swings with the load; the CPU per reply much less.
rate() {
  local out before after good
  before=$(ticks "$5")
  out=$("$load" "$1" "$2" "$work/www/magnet-bt/$3.torrent" "$4" "$seconds") ||
    { echo "127.0.0.1:$1$2: $out" >&2; exit 1; }
  after=$(ticks "$5")
  good=$(sed -n 's/.* good \([0-9]*\) .*/\1/p' <<<"$out")
  echo "$(sed -n 's/.* rate //p' <<<"$out") $(((after - before) * 1000000 / $(getconf CLK_TCK) / good))"
}
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "$connections connections, ${seconds}s a run, 2 client threads, on 127.0.0.1; $rounds rounds, each the service then nginx"
for kind in small large; do
  service_rates=() nginx_rates=() service_cpu=() nginx_cpu=() ratios=() cpu_ratios=()
  for _ in $(seq "$rounds"); do
    read -r s_rate s_cpu < <(rate "$service_port" "$(service_path $kind)" $kind "$connections" "$service_pid")
    read -r n_rate n_cpu < <(rate "$nginx_port" "$(nginx_path $kind)" $kind "$connections" "$nginx_worker")
    [ -n "$s_cpu" ] && [ -n "$n_cpu" ] || exit 1
    service_rates+=("$s_rate") nginx_rates+=("$n_rate") service_cpu+=("$s_cpu") nginx_cpu+=("$n_cpu")
    ratios+=("$(python3 -c "print('%.2f' % ($s_rate / $n_rate))")")
    cpu_ratios+=("$(python3 -c "print('%.2f' % ($n_cpu / max($s_cpu, 1)))")")
  done
  echo "$kind torrent, ${size[$kind]} bytes:"
  echo "  pellucor-service: $(median "${service_rates[@]}") requests/s (rounds: ${service_rates[*]});" \
    "CPU per reply $(median "${service_cpu[@]}") us"
  echo "  nginx (static):   $(median "${nginx_rates[@]}") requests/s (rounds: ${nginx_rates[*]});" \
    "CPU per reply $(median "${nginx_cpu[@]}") us"
  echo "  ratio service/nginx, requests/s: $(median "${ratios[@]}") (rounds: ${ratios[*]})"
  echo "  ratio service/nginx, replies per CPU second: $(median "${cpu_ratios[@]}") (rounds: ${cpu_ratios[*]})"
done

# Resident memory of the service while $crowd clients download the large torrent at once,
# sampled every 100 ms; its peak (VmHWM) covers the whole run.
rss() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$service_pid/status"; }
before=$(rss VmRSS)
"$load" "$service_port" "$(service_path large)" "$work/www/magnet-bt/large.torrent" "$crowd" \
  "$seconds" >"$work/crowd.txt" &
crowd_pid=$!
most=0
while kill -0 "$crowd_pid" 2>/dev/null; do
  now=$(rss VmRSS)
  [ "$now" -gt "$most" ] && most=$now
  sleep 0.1
done
wait "$crowd_pid" || { cat "$work/crowd.txt" >&2; exit 1; }
echo "$crowd concurrent downloads of the large torrent, ${seconds}s:" \
  "$(sed -n 's/.* rate //p' "$work/crowd.txt") requests/s ($(cat "$work/crowd.txt"))"
echo "  service RSS: $((before / 1024)) MB before, $((most / 1024)) MB at most during the run," \
  "peak over the whole benchmark $(($(rss VmHWM) / 1024)) MB"
