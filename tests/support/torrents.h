// Torrent files for tests, written with the project's bencode writer: info dictionaries of one
// file or many (v1), of a file tree (v2) or of both (hybrid), and whole torrents with the keys
// beside the info dictionary (announce, comment, piece layers) and their info hashes.
// Dictionaries come out sorted, as bencoding requires; InOrder keeps the order given (and
// repeated keys) for tests of what readers make of such bytes, and Bencode::Raw carries bytes
// that are no bencoding at all.
//   TorrentOf(SingleFile("a.bin", 5, std::string(20, 'a'))).bytes
//     -> "d4:infod6:lengthi5e4:name5:a.bin12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee"
//   MakeTorrent(300).bytes.size() -> 300
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "base/hex.h"
#include "torrent/bencode.h"
#include "torrent/digest.h"

namespace pellucor::testing {

// {"length", "name", "piece length": 16384, "pieces"}: a torrent of one file.
inline Bencode::Dict SingleFile(const std::string& name, int64_t length,
                                std::string pieces = std::string(20, '\x07')) {
  return {{"length", length}, {"name", name}, {"piece length", 16384}, {"pieces", pieces}};
}

// {"length", "path"}: an entry of a v1 file list.
inline Bencode FileEntry(int64_t length, Bencode::List path) {
  return Bencode::Dict{{"length", length}, {"path", std::move(path)}};
}

// {"files", "name", "piece length": 16384}: a torrent of the files FileEntry makes (no pieces:
// the tests that use it read none).
inline Bencode::Dict MultiFile(Bencode::List files, const std::string& name = "album") {
  return {{"files", std::move(files)}, {"name", name}, {"piece length", 16384}};
}

// The "pieces root" of every Leaf, which "piece layers" name.
inline const std::string kPiecesRoot(32, 'r');

// A file of a v2 file tree: {"": {"length", "pieces root"}}.
inline Bencode::Dict Leaf(int64_t length) {
  return {{"", Bencode::Dict{{"length", length}, {"pieces root", kPiecesRoot}}}};
}

// {"file tree", "meta version": 2, "name", "piece length": 16384}: a v2-only torrent.
inline Bencode::Dict V2Info(Bencode::Dict tree, const std::string& name = "v2") {
  return {
      {"file tree", std::move(tree)}, {"meta version", 2}, {"name", name}, {"piece length", 16384}};
}

// A hybrid torrent "h" of the files "big" (`bigLength` bytes) and "small" (5): the v1 file list,
// with the padding file hybrid torrents put between them, and the v2 file tree of the same.
inline Bencode::Dict HybridInfo(int64_t bigLength) {
  const Bencode padding =
      Bencode::Dict{{"attr", "p"}, {"length", 100}, {"path", Bencode::List{".pad", "100"}}};
  return {{"file tree", Bencode::Dict{{"big", Leaf(bigLength)}, {"small", Leaf(5)}}},
          {"files", Bencode::List{FileEntry(bigLength, {"big"}), padding, FileEntry(5, {"small"})}},
          {"meta version", 2},
          {"name", "h"},
          {"piece length", 16384},
          {"pieces", std::string(40, 'p')}};
}

// A dictionary whose keys stay in the order given, repeated or not: bytes no conforming writer
// makes, as some torrents in the wild have them.
inline Bencode InOrder(std::initializer_list<std::pair<std::string, Bencode>> entries) {
  std::string out = "d";
  for (const auto& [key, value] : entries) out += Bencode(key).Encode() + value.Encode();
  return Bencode::Raw(out + "e");
}

struct Torrent {
  std::string bytes;
  std::string info;    // the bytes of its info dictionary
  std::string hash;    // version 1: 40 upper-case hex digits, the SHA-1 of the info bytes
  std::string hashV2;  // version 2: 64, their SHA-256
};

// A torrent of `info` with the keys of `beside` next to it. `info` is a value: bytes that are
// bencoded already go in as Bencode::Raw (a std::string would become a bencoded string).
inline Torrent TorrentOf(const Bencode& info, Bencode::Dict beside = {}) {
  Torrent t;
  t.info = info.Encode();
  beside.insert_or_assign("info", Bencode::Raw(t.info));
  t.bytes = Bencode(std::move(beside)).Encode();
  t.hash = HexEncode(Sha1(t.info));
  t.hashV2 = HexEncode(Sha256(t.info));
  return t;
}

// A well-formed v1 torrent of exactly `size` bytes (at least about 120; a comment pads it),
// whose one file is `name`.
inline Torrent MakeTorrent(size_t size = 1100, const std::string& name = "file.bin") {
  const Bencode info = SingleFile(name, 4096, std::string(20, '\x01'));
  // Every byte but the comment's and its length's digits.
  const size_t fixed = TorrentOf(info, {{"comment", ""}}).bytes.size() - 1;
  size_t pad = size - fixed;
  while (fixed + std::to_string(pad).size() + pad > size) --pad;
  return TorrentOf(info, {{"comment", std::string(pad, 'c')}});
}

}  // namespace pellucor::testing
