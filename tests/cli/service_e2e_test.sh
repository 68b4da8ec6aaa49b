#!/usr/bin/env bash
# pellucor-convert against pellucor-service on loopback, as a user runs it: a store of three
# imported torrents, both routes, links as arguments and on standard input, a link the store
# does not hold, a rejected text, --json, and the exit status once the service has stopped.
#   service_e2e_test.sh SERVICE CONVERT [RUNNER...]
# RUNNER starts CONVERT (for the Windows program: scripts/wine-run LOADER PREFIX). The service
# asks no swarm: no DHT, no peers, and a one-second lookup for what it does not store.
set -u
service=$1 convert=$2
shift 2
runner=("$@")
[ -x "$service" ] || { echo "FAIL: no pellucor-service at $service (build the linux preset)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/pellucor-cli-e2e-XXXXXX")
trap 'kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs the converter with its outputs in files: a Wine program's helpers (explorer.exe) may
# inherit a pipe and keep it open after the program has ended.
run() {  # run ARGS... ; sets status, out, err (line ends made "\n")
  "${runner[@]}" "$convert" "$@" >out.txt 2>err.txt </dev/null
  status=$?
  out=$(tr -d '\r' <out.txt) err=$(tr -d '\r' <err.txt)
}

torrent() {  # torrent NAME FILE-LENGTH
  local bytes info
  bytes=$(printf '%s' "$1" | wc -c)  # bencoding counts bytes, not characters
  info="d6:lengthi${2}e4:name$bytes:${1}12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaae"
  # a comment pads the file past the routes' 1000-byte minimum
  printf 'd7:comment1000:%s4:info%se' "$(head -c 1000 /dev/zero | tr '\0' c)" "$info"
}
torrent "中文名" 5 >a.torrent
torrent "second" 6 >b.torrent
torrent "third" 7 >c.torrent
listing=$("$service" import --data data a.torrent b.torrent c.torrent) || fail "import: $listing"
a=$(sed -n 1p <<<"$listing" | cut -d' ' -f1)
b=$(sed -n 2p <<<"$listing" | cut -d' ' -f1)
c=$(sed -n 3p <<<"$listing" | cut -d' ' -f1)
missing=0123456789abcdef0123456789abcdef01234567

"$service" --listen 127.0.0.1:0 --data data --no-dht --no-advert --resolve-timeout 1 \
  >service.log 2>&1 &
pid=$!
for _ in $(seq 100); do
  host=$(grep -o '127\.0\.0\.1:[0-9]*' service.log | head -1)
  [ -n "$host" ] && break
  sleep 0.1
done
[ -n "$host" ] || fail "the service did not start: $(cat service.log)"

# Why the missing link fails: the lookup's phrase when the service's API remembers it, else
# the route's own message.
reason() {  # reason ROUTE-MESSAGE
  local api
  api=$(curl -s "http://$host/api/v1/torrents/$missing")
  case "$api" in
    *'"outcome":"'*) sed 's/.*"message":"\([^"]*\)".*/\1/' <<<"$api" ;;
    *) echo "$1" ;;
  esac
}

# The second route: a bare hash, a magnet link (upper-case hash in the output), a missing hash,
# a rejected text.
run --service "$host" -j 2 -d out "$a" "magnet:?xt=urn:btih:$b" "$missing" "not a link"
[ "$status" = 1 ] || fail "route 2: exit $status, want 1: $err"
upper_b=$(tr a-f A-F <<<"$b")
want=$(printf '%s\n' "OK $a out/中文名.torrent" "OK $upper_b out/second.torrent" \
  "FAIL $missing arg:9 $(reason 该磁力链接无法生成BT种子)" \
  "FAIL not%20a%20link arg:10 磁力链接错误，请输入正确的磁力链接！" | sort)
got=$(sed 's#out\\#out/#' <<<"$out" | sort)
[ "$got" = "$want" ] || fail "route 2 lines:
$got
want:
$want"
cmp -s out/中文名.torrent a.torrent || fail "out/中文名.torrent is not the stored torrent"
cmp -s out/second.torrent b.torrent || fail "out/second.torrent is not the stored torrent"
case "$err" in *"中文名【文件大小：5 B】"*) ;; *) fail "no preview line on standard error: $err" ;; esac
case "$err" in *"2 of 4 converted, 2 failed"*) ;; *) fail "no summary: $err" ;; esac

# The first route, links on standard input with CR LF line ends, --json.
printf '# from a script\r\n%s\r\n\r\n' "$c" >links.txt
"${runner[@]}" "$convert" --service "$host" --route 1 --json -d one -i - <links.txt >out.txt 2>err.txt
status=$?
[ "$status" = 0 ] || fail "route 1: exit $status: $(cat err.txt)"
json=$(tr -d '\r' <out.txt)
file=$(sed -n 's/.*"file":"one[\\/]*\([0-9]\{4\}\.torrent\)".*/\1/p' <<<"$json")
case "$json" in "{\"hash\":\"$c\",\"input\":\"-:2\","*"\"bytes\":$(wc -c <c.torrent),\"outcome\":\"saved\""*) ;;
  *) fail "route 1 JSON: $json" ;; esac
[ -n "$file" ] && cmp -s "one/$file" c.torrent || fail "one/$file is not the stored torrent: $json"

# No service at all.
kill "$pid"
wait "$pid" 2>/dev/null
run --service "$host" "$a" "$b"
[ "$status" = 3 ] || fail "without the service: exit $status, want 3: $err"
case "$err" in *"no reply from the service at $host"*) ;; *) fail "no word of the service: $err" ;; esac
# Standard output says it too, for each link, instead of blaming the links.
want=$(printf '%s\n' "FAIL $a arg:3 no reply from the service at $host" \
  "FAIL $b arg:4 no reply from the service at $host")
[ "$(sort <<<"$out" | tr -d '\r')" = "$want" ] || fail "without the service: $out"
echo ok
