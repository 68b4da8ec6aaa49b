#!/usr/bin/env bash
# libtorrent's own test torrents (tests/data/torrents, expected.tsv) through pellucor-service and
# pellucor-convert, as a user would take them: every file libtorrent refuses is refused by
# import with libtorrent's reason, a non-zero exit and nothing stored; every file it loads is
# imported, listed right by the JSON API, and converted by both routes byte for byte: v2-only
# torrents by their btmh link and by their 40-digit hash, hybrid torrents by all three hashes.
#   real_torrents_e2e_test.sh DATA-DIR SERVICE CONVERT [RUNNER...]
# RUNNER starts CONVERT (for the Windows program: scripts/wine-run LOADER PREFIX).
set -u
data=$1 service=$2 convert=$3
shift 3
runner=("$@")
[ -x "$service" ] || { echo "FAIL: no pellucor-service at $service (build the linux preset)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/pellucor-real-torrents-XXXXXX")
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

grep -v '^#' "$data/expected.tsv" >expected.tsv
loads=() refused=()
while IFS=$'\t' read -r file outcome _; do
  case "$outcome" in
    loads) loads+=("$data/$file") ;;
    refused:*) refused+=("$data/$file") ;;
  esac
done <expected.tsv
[ ${#loads[@]} -gt 55 ] && [ ${#refused[@]} -gt 30 ] || fail "expected.tsv: ${#loads[@]} load, ${#refused[@]} refused"

# Refused: each with libtorrent's reason; nothing stored.
"$service" import --data refused "${refused[@]}" >refused.out 2>refused.err && fail "import of refused files exited 0"
while IFS=$'\t' read -r file outcome _; do
  case "$outcome" in refused:*)
    grep -qF "$file: not a valid torrent file: ${outcome#refused: }" refused.err ||
      fail "$file: no refusal saying '${outcome#refused: }': $(grep -F "$file" refused.err)" ;;
  esac
done <expected.tsv
[ -s refused.out ] && fail "refused files were listed: $(cat refused.out)"
check=$("$service" check --data refused) || fail "check: $check"
[ "$check" = "ok: 0 torrents" ] || fail "the refused files' store: $check"

# Loaded: all imported, each listed once.
"$service" import --data data "${loads[@]}" >imported.txt 2>import.err || fail "import: $(cat import.err)"
[ "$(wc -l <imported.txt)" = ${#loads[@]} ] || fail "import listed $(wc -l <imported.txt) of ${#loads[@]}"

"$service" --listen 127.0.0.1:0 --data data --no-dht --no-advert --resolve-timeout 1 \
  >service.log 2>&1 &
pid=$!
host=
for _ in $(seq 100); do
  host=$(grep -o '127\.0\.0\.1:[0-9]*' service.log | head -1)
  [ -n "$host" ] && break
  sleep 0.1
done
[ -n "$host" ] || fail "the service did not start: $(cat service.log)"

# The links of each torrent, one a line, and the file each stands for.
python3 - "$data" <<'EOF' >links.tsv || fail "links"
import sys
for line in open('expected.tsv', encoding='utf-8'):
    f = line.rstrip('\n').split('\t')
    if len(f) < 7 or f[1] != 'loads':
        continue
    file, v1, v2 = f[0], f[2], f[3]
    links = [v1]
    if v2 != '-':
        links += ['magnet:?xt=urn:btmh:1220' + v2]
        if not v2.startswith(v1):  # a hybrid: its truncated SHA-256 as well
            links += [v2[:40]]
    for link in links:
        print(link + '\t' + file)
EOF
cut -f1 links.tsv >links.txt

# The JSON API lists each as expected.tsv says.
python3 - "$host" <<'EOF' || fail "the JSON API"
import json, sys, urllib.request
host = sys.argv[1]
bad = 0
for line in open('expected.tsv', encoding='utf-8'):
    f = line.rstrip('\n').split('\t')
    if len(f) < 7 or f[1] != 'loads':
        continue
    reply = json.load(urllib.request.urlopen('http://%s/api/v1/torrents/%s' % (host, f[2])))
    want = (f[2], None if f[3] == '-' else f[3], f[4], int(f[5]), int(f[6]))
    got = (reply['infoHash'], reply['infoHashV2'], reply['name'], len(reply['files']), reply['size'])
    if got != want:
        print('FAIL: %s: API says %s, want %s' % (f[0], got, want), file=sys.stderr)
        bad += 1
sys.exit(1 if bad else 0)
EOF

# Both routes, byte for byte: the store keeps the first file it imported of each info hash
# (several of libtorrent's files share one, differing outside the info dictionary), and that file
# is what both routes save.
for route in 1 2; do
  "${runner[@]}" "$convert" --service "$host" --route "$route" --json -j 4 -d "out$route" \
    -i links.txt >"route$route.json" 2>"route$route.err" </dev/null
  status=$?
  [ "$status" = 0 ] || fail "route $route: exit $status: $(tr -d '\r' <"route$route.err" | tail -5)"
  python3 - "$route" "$data" <<'EOF' || fail "route $route"
import json, os, sys
route, data = sys.argv[1], sys.argv[2]
files = [line.rstrip('\n').split('\t')[1] for line in open('links.tsv', encoding='utf-8')]
stored = {}  # info hash -> the first file imported with it
for line in open('expected.tsv', encoding='utf-8'):
    f = line.rstrip('\n').split('\t')
    if len(f) >= 7 and f[1] == 'loads':
        stored.setdefault(f[2], f[0])
hashOf = {}
for line in open('expected.tsv', encoding='utf-8'):
    f = line.rstrip('\n').split('\t')
    if len(f) >= 7 and f[1] == 'loads':
        hashOf[f[0]] = f[2]
bad = seen = 0
for line in open('route%s.json' % route, encoding='utf-8'):
    r = json.loads(line)
    number = int(r['input'].rsplit(':', 1)[1])
    original = os.path.join(data, stored[hashOf[files[number - 1]]])
    saved = (r['file'] or '').replace('\\', '/')
    seen += 1
    if r['outcome'] != 'saved' or open(saved, 'rb').read() != open(original, 'rb').read():
        print('FAIL: %s by %s: %s' % (files[number - 1], r['hash'], r), file=sys.stderr)
        bad += 1
if seen != len(files):
    print('FAIL: %d results for %d links' % (seen, len(files)), file=sys.stderr)
    bad += 1
sys.exit(1 if bad else 0)
EOF
done
echo "ok: ${#loads[@]} torrents imported, listed and converted by both routes; ${#refused[@]} refused"
