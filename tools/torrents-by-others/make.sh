#!/usr/bin/env bash
# Writes tests/data/torrents/by-*.torrent: torrents made by other programs than libtorrent
# (mktorrent, transmission-create, buildtorrent, ctorrent), each the way its users make them,
# over a small content tree made here and thrown away; copies WebTorrent's test torrents there as
# webtorrent-*.torrent (from the npm registry); and prints the rows of both for expected.tsv as
# libtorrent's Python bindings read them. Run by hand when the set changes; the files are
# committed, so the tests need none of these programs.
#   tools/torrents-by-others/make.sh
# Needs: apt-get install mktorrent transmission-cli buildtorrent ctorrent python3-libtorrent npm
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/tests/data/torrents
for tool in mktorrent transmission-create buildtorrent ctorrent; do
  command -v "$tool" >/dev/null || { echo "make.sh: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Content from a fixed generator, so a run remakes the same pieces.
bytes() { /usr/bin/python3 -c "import random,sys; r=random.Random('$1'); sys.stdout.buffer.write(r.randbytes($2))"; }
album="民谣专辑 2026"
mkdir -p "$album/附录"
bytes 1 300000 >"$album/01 序曲.flac"
bytes 2 200001 >"$album/02 山歌.flac"
bytes 3 20000 >"$album/封面.jpg"
echo "歌词" >"$album/附录/歌词.txt"
: >"$album/附录/空文件.txt"
film=纪录片.mkv
bytes 4 500000 >"$film"
# A folder named on a machine whose file names are GBK bytes, as an older Chinese system has them.
gbk=$(printf '\xc0\xcf\xb5\xe7\xd3\xb0')  # 老电影
mkdir "$gbk"
bytes 5 70000 >"$gbk/$(printf '\xb5\xda\xd2\xbb\xbc\xaf').avi"  # 第一集
bytes 6 90000 >"$gbk/$(printf '\xb5\xda\xb6\xfe\xbc\xaf').avi"  # 第二集

rm -f "$out"/by-*.torrent "$out"/webtorrent-*.torrent
tracker=http://127.0.0.1:1/announce
# Dates left out where the program can: the same content makes the same file.
mktorrent -d -l 16 -a "$tracker,udp://127.0.0.1:2/announce" -a http://127.0.0.1:3/announce \
  -w http://127.0.0.1:4/seed/ -c "一张民谣专辑" -o "$out/by-mktorrent-album.torrent" "$album" >/dev/null
mktorrent -d -p -l 15 -s 某站 -a "$tracker" -o "$out/by-mktorrent-private.torrent" "$film" >/dev/null
mktorrent -d -l 15 -a "$tracker" -o "$out/by-mktorrent-gbk-names.torrent" "$gbk" >/dev/null
transmission-create -s 32 -t "$tracker" -c "纪录片" -o "$out/by-transmission-single.torrent" \
  "$film" >/dev/null
transmission-create -s 64 -t "$tracker" -o "$out/by-transmission-album.torrent" "$album" >/dev/null
buildtorrent -q -D -m -L 17 -a "$tracker" -A "$tracker|http://127.0.0.1:3/announce" \
  -w http://127.0.0.1:4/seed/ -c "md5 sums" "$album" "$out/by-buildtorrent-album.torrent"
ctorrent -t -u "$tracker" -s "$out/by-ctorrent-single.torrent" "$film" >/dev/null

# WebTorrent's test torrents (npm package webtorrent-fixtures, MIT): torrents written by
# µTorrent 2.0 and 3.3 and by WebTorrent's create-torrent (creation dates in milliseconds), one
# with an "infoHash" key of its own, one without a name.
(cd "$work" && npm pack --silent webtorrent-fixtures@2.0.3 >/dev/null && tar xzf webtorrent-fixtures-2.0.3.tgz)
for f in "$work"/package/fixtures/*.torrent; do
  cp "$f" "$out/webtorrent-$(basename "$f")"
done
chmod 644 "$out"/by-*.torrent "$out"/webtorrent-*.torrent

# Their rows, as libtorrent reads them (the columns of expected.tsv).
/usr/bin/python3 "$root/tools/torrents-by-others/rows.py" "$out"/by-*.torrent "$out"/webtorrent-*.torrent
