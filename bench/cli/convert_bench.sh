#!/usr/bin/env bash
# Links per second through pellucor-convert -j 8 (the second route, the default: form post,
# preview page, download, checked and saved torrent) against the same torrents fetched with
# curl from the service's JSON API (GET /api/v1/torrents/HASH.torrent) in one xargs -P 8 run.
# A store of 1,000 imported torrents, pellucor-service on loopback with no swarm. Every reply
# of both runs is checked (status and bytes) before a rate is printed.
#   bench/cli/convert_bench.sh [links]
set -euo pipefail
cd "$(dirname "$0")/../.."
links=${1:-1000}
service=$PWD/build/linux/src/service/pellucor-service
convert=$PWD/build/linux/src/cli/pellucor-convert
for p in "$service" "$convert"; do
  [ -x "$p" ] || { echo "build the linux preset first ($p)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"

# Torrents of a few KB (20 files each), bencoded here; hashes.txt lists their info hashes.
python3 - "$links" <<'PY'
import hashlib, os, sys
def b(x):
    if isinstance(x, int): return b"i%de" % x
    if isinstance(x, bytes): return b"%d:%s" % (len(x), x)
    if isinstance(x, list): return b"l" + b"".join(b(i) for i in x) + b"e"
    return b"d" + b"".join(b(k) + b(v) for k, v in sorted(x.items())) + b"e"
os.makedirs("src")
with open("hashes.txt", "w") as out:
    for n in range(int(sys.argv[1])):
        files = [{b"length": 1000 * n + i, b"path": [b"dir", b"file%02d.bin" % i]} for i in range(20)]
        info = {b"name": b"bench-%04d" % n, b"piece length": 262144, b"pieces": bytes(20 * 8),
                b"files": files}
        h = hashlib.sha1(b(info)).hexdigest()
        open("src/%s.torrent" % h, "wb").write(b({b"info": info}))
        out.write(h + "\n")
PY
"$service" import --data data src/*.torrent >/dev/null
"$service" --listen 127.0.0.1:0 --data data --no-dht --no-advert >service.log 2>&1 &
for _ in $(seq 100); do
  host=$(grep -o '127\.0\.0\.1:[0-9]*' service.log | head -1 || true)
  [ -n "$host" ] && break
  sleep 0.1
done
[ -n "$host" ] || { echo "the service did not start" >&2; cat service.log >&2; exit 1; }
now() { date +%s.%N; }

# pellucor-convert: every link OK, every file the stored torrent.
start=$(now)
status=0
"$convert" --service "$host" -j 8 -d out -i hashes.txt >convert.out 2>convert.err || status=$?
convert_seconds=$(python3 -c "print($(now) - $start)")
[ "$status" = 0 ] || { echo "pellucor-convert exited $status" >&2; tail -5 convert.err >&2; exit 1; }
[ "$(grep -c '^OK ' convert.out)" = "$links" ] || { echo "not every link converted" >&2; exit 1; }
while read -r _ hash file; do
  cmp -s "$file" "src/$hash.torrent" || { echo "$file is not the torrent of $hash" >&2; exit 1; }
done <convert.out

# curl from the API, eight at a time: every reply 200 with the stored bytes. Until the service
# has the API, the reference is curl on the second service's download address, which serves the
# same stored bytes (said so in the output).
mkdir api
reference="JSON API"
url="http://$host/api/v1/torrents/{}.torrent"
code=$(curl -s -o /dev/null -w '%{http_code}' "${url//\{\}/$(head -1 hashes.txt)}")
if [ "$code" != 200 ]; then
  echo "note: the service has no JSON API (GET /api/v1/torrents/HASH.torrent answered $code);" \
    "the reference is curl on /magnet-bt/down.php instead" >&2
  reference="down.php, no API"
  url="http://$host/magnet-bt/down.php?hash={}"
fi
start=$(now)
xargs -P 8 -I{} curl -s -o api/{}.torrent -w '%{http_code} {}\n' "$url" <hashes.txt >curl.out
curl_seconds=$(python3 -c "print($(now) - $start)")
[ "$(grep -c '^200 ' curl.out)" = "$links" ] || { echo "not every curl reply was 200" >&2; exit 1; }
while read -r hash; do
  cmp -s "api/$hash.torrent" "src/$hash.torrent" || { echo "curl's bytes differ for $hash" >&2; exit 1; }
done <hashes.txt

python3 - "$links" "$convert_seconds" "$curl_seconds" "$reference" <<'PY'
import sys
n, c, r, ref = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
print("%d torrents of a %d-torrent store, pellucor-service on 127.0.0.1, 8 at a time" % (n, n))
print("pellucor-convert -j 8 (route 2): %6.2f s  %7.0f links/s" % (c, n / c))
print("curl, xargs -P 8 (%s): %6.2f s  %7.0f links/s" % (ref, r, n / r))
print("ratio pellucor-convert/curl: %.2f" % ((n / c) / (n / r)))
PY
