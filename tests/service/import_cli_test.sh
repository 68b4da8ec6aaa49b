#!/usr/bin/env bash
# `pellucor-service import`: good files are stored and listed, a corrupt one is refused with a
# message and a non-zero exit, and the good ones of the same call are kept.
#   import_cli_test.sh PATH-TO-pellucor-service
set -u
service=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/pellucor-import-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf 'd4:infod6:lengthi5e4:name5:a.bin12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee' \
  >"$work/good.torrent"
printf 'd4:infod6:lengthi5e4:name5:a.bin' >"$work/cut.torrent"          # cut short
printf 'd4:infod6:lengthi-5e4:name5:a.bin12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee' \
  >"$work/negative.torrent"

out=$("$service" import --data "$work/data" "$work/good.torrent" 2>&1) || fail "good file: $out"
hash=$(printf '%s' 'd6:lengthi5e4:name5:a.bin12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaae' |
  sha1sum | cut -d' ' -f1)
[ "$out" = "$hash  a.bin" ] || fail "listing: '$out', want '$hash  a.bin'"

for bad in cut negative missing; do
  if out=$("$service" import --data "$work/data2" "$work/$bad.torrent" 2>&1); then
    fail "$bad.torrent was accepted"
  fi
  case "$out" in *"$bad.torrent"*) ;; *) fail "no message naming $bad.torrent: $out" ;; esac
done

# A corrupt file among good ones: the good one is still stored, the exit says something failed.
"$service" import --data "$work/data3" "$work/cut.torrent" "$work/good.torrent" >/dev/null 2>&1 &&
  fail "a call with a corrupt file exited 0"
# Imported again: kept as it was, and said so.
out=$("$service" import --data "$work/data3" "$work/good.torrent" 2>&1) || fail "re-import: $out"
[ "$out" = "$hash  a.bin  already stored" ] || fail "re-import listing: $out"
echo "ok"
