# Sourced by the benchmarks that time lookups in the tests' loopback swarm
# (build/linux/bench/loopback_swarm): they set `work` (a scratch directory, removed on exit),
# `python` (Debian's, with python3-libtorrent) and `swarm` (the program), then
#   start_swarm N     starts the swarm with N extra torrents and waits until it is ready:
#                     sets `bootstrap` (its nodes, "localhost:PORT,..."), `first_node`
#                     (127.0.0.1:PORT) and `hashes` (the extra torrents' v1 hashes)
#   take N            the next N hashes no measurement used yet, into the array `taken`
#   check_torrent FILE HASH   exits unless the file (a .torrent or a bare info dictionary)
#                     hashes to HASH
#   record SERIES SECONDS     a measurement, into $work/results.txt
#   now, since T0     the time, and the seconds since T0

start_swarm() {
  "$swarm" "$work/swarm" "$1" >"$work/swarm.txt" 2>&1 &
  for _ in $(seq 600); do grep -q '^ready' "$work/swarm.txt" && break; sleep 0.1; done
  grep -q '^ready' "$work/swarm.txt" || { cat "$work/swarm.txt" >&2; exit 1; }
  bootstrap=$(sed -n 's/^bootstrap //p' "$work/swarm.txt")
  first_node=$(echo "$bootstrap" | cut -d, -f1 | sed 's/localhost/127.0.0.1/')
  mapfile -t hashes < <(awk '/^torrent swarm-extra-/ {print $3}' "$work/swarm.txt")
  next=0
  results=$work/results.txt
  : >"$results"
}
take() {
  taken=("${hashes[@]:$next:$1}")
  next=$((next + $1))
}
now() { date +%s.%N; }
since() { "$python" -c "print($(now) - $1)"; }
record() { echo "$1 $2" >>"$results"; }
check_torrent() {
  "$python" - "$1" "$2" <<'PY' || { echo "bad torrent $1 for $2" >&2; exit 1; }
import hashlib, sys
data = open(sys.argv[1], "rb").read()
if data.startswith(b"d") and b"4:info" in data:  # a .torrent: take the info value
    import libtorrent as lt
    got = str(lt.torrent_info(sys.argv[1]).info_hashes().v1)
else:
    got = hashlib.sha1(data).hexdigest()
sys.exit(0 if got == sys.argv[2] else 1)
PY
}
