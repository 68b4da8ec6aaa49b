#!/usr/bin/env bash
# The 32-bit Windows fetch, outside Pellucor: libtorrent alone (ltfetch.cpp) fetching one
# torrent's metadata from a loopback seed of Debian's own libtorrent (seed.py), as an i686 or an
# x86_64 Windows program under Wine; and the Winsock read pattern Boost.Asio uses on Windows
# (recvcheck.c) against its sender (recvcheck_server.py).
#   tools/i686-fetch-check/run.sh ltfetch i686|x86_64 [tcp|utp]
#   tools/i686-fetch-check/run.sh recvcheck i686|x86_64
# i686 runs under scripts/i386-under-qemu (32-bit Wine in QEMU), x86_64 under wine64. The
# programs are built into build/i686-fetch-check/ against scripts/libtorrent-mingw's library.
# With LIBTORRENT_PREFIX=DIR they link that library instead (libtorrent-diagnostic.patch adds a
# peer-log line with the receive state and the bytes around crypto_receive_buffer).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
what=${1:-} arch=${2:-} transport=${3:-}
out=$root/build/i686-fetch-check
mkdir -p "$out"

if [ "${PELLUCOR_I386_NAMESPACE:-}" != 1 ] || [ "$arch" = x86_64 ]; then
  case "$arch" in
    i686) loader=/usr/lib/wine/wine ;;
    x86_64) loader=/usr/lib/wine/wine64 ;;
    *) echo "usage: run.sh ltfetch|recvcheck i686|x86_64 [tcp|utp]" >&2; exit 2 ;;
  esac
  exe=$out/$what-$arch.exe
  case "$what" in
    ltfetch)
      prefix=${LIBTORRENT_PREFIX:-$("$root/scripts/libtorrent-mingw" "$arch")}
      "$arch-w64-mingw32-g++-posix" -std=c++17 -O2 -D_WIN32_WINNT=0x0601 -I"$prefix/include" \
        -I"$prefix/boost-include" -DBOOST_ASIO_ENABLE_CANCELIO -DBOOST_ASIO_NO_DEPRECATED \
        -DWIN32_LEAN_AND_MEAN -DTORRENT_USE_I2P=0 "$here/ltfetch.cpp" -o "$exe" -static \
        "$prefix/lib/libtorrent-rasterbar.a" -lbcrypt -lmswsock -lws2_32 -liphlpapi -pthread ;;
    recvcheck) "$arch-w64-mingw32-gcc" -O2 "$here/recvcheck.c" -o "$exe" -lws2_32 ;;
    *) echo "usage: run.sh ltfetch|recvcheck i686|x86_64 [tcp|utp]" >&2; exit 2 ;;
  esac
  if [ "$arch" = i686 ]; then exec "$root/scripts/i386-under-qemu" "$0" "$@"; fi
else
  loader=/usr/lib/wine/wine exe=$out/$what-$arch.exe
fi

# Here with the network of the run (the namespace's own loopback for i686).
run() { "$root/scripts/wine-run" "$loader" "$out/wineprefix-$arch" "$@"; }
case "$what" in
  ltfetch)
    rm -rf "$out/seed" "$out/seed.out"
    /usr/bin/python3 "$here/seed.py" "$out/seed" 200000 >"$out/seed.out" 2>&1 &
    trap 'kill $! 2>/dev/null' EXIT
    for _ in $(seq 100); do [ -s "$out/seed.out" ] && break; sleep 0.2; done
    read -r port hash _ <"$out/seed.out"
    echo "seed: 127.0.0.1:$port $hash"
    run "$exe" "127.0.0.1:$port" "$hash" 60 ${transport:+"$transport"} ;;
  recvcheck)
    rm -f "$out/server.out"
    /usr/bin/python3 "$here/recvcheck_server.py" >"$out/server.out" &
    trap 'kill $! 2>/dev/null' EXIT
    for _ in $(seq 100); do [ -s "$out/server.out" ] && break; sleep 0.1; done
    run "$exe" 127.0.0.1 "$(cat "$out/server.out")" 20 ;;
esac
