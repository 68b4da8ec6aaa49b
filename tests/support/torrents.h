// Torrent files for tests, written with the project's bencode writer: info dictionaries of one
// file or many (v1), of a file tree (v2) or of both (hybrid), and whole torrents with the keys
// beside the info dictionary (announce, comment, piece layers) and their info hashes.
// Dictionaries come out sorted, as bencoding requires; InOrder keeps the order given (and
// repeated keys) for tests of what readers make of such bytes, and Bencode::Raw carries bytes
// that are no bencoding at all.
// Unless a test says otherwise, what it builds is a torrent libtorrent loads (pieces for every
// piece of the files, hybrid files aligned).
//   TorrentOf(SingleFile("a.bin", 5, std::string(20, 'a'))).bytes
//     -> "d4:infod6:lengthi5e4:name5:a.bin12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee"
//   MakeTorrent(300).bytes.size() -> 300
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "base/hex.h"
#include "torrent/bencode.h"
#include "torrent/digest.h"

namespace pellucor::testing {

inline constexpr int64_t kPieceLength = 16384;

// The "pieces" of `total` bytes: 20 bytes per piece, each `fill`.
inline std::string Pieces(int64_t total, char fill = '\x07') {
  const int64_t count = total <= 0 ? 0 : (total + kPieceLength - 1) / kPieceLength;
  return std::string(static_cast<size_t>(count) * 20, fill);
}

// {"length", "name", "piece length": 16384, "pieces"}: a torrent of one file, with as many
// pieces as its length takes unless `pieces` says otherwise.
inline Bencode::Dict SingleFile(const std::string& name, int64_t length, std::string pieces = {}) {
  return {{"length", length},
          {"name", name},
          {"piece length", kPieceLength},
          {"pieces", pieces.empty() ? Pieces(length) : std::move(pieces)}};  // none given: count
}

// An entry of a v1 file list, {"length", "path"} and whatever else it takes ("attr"), with its
// length at hand for the pieces.
struct FileEntry {
  FileEntry(int64_t length, Bencode::List path) : length(length) {
    fields.emplace("length", length);
    fields.emplace("path", std::move(path));
  }
  // An entry of other fields (padding, a symlink, something malformed) that stands for
  // `length` bytes of the torrent.
  static FileEntry Of(int64_t length, Bencode::Dict fields) {
    FileEntry entry(length, Bencode::List{});
    entry.fields = std::move(fields);
    return entry;
  }
  operator Bencode() const { return fields; }  // NOLINT: an entry is a value of a file list
  int64_t length;
  Bencode::Dict fields;
};

// {"files", "name", "piece length": 16384, "pieces"}: a torrent of the files given.
inline Bencode::Dict MultiFile(const std::vector<FileEntry>& files,
                               const std::string& name = "album") {
  Bencode::List list;
  int64_t total = 0;
  for (const FileEntry& f : files) {
    list.emplace_back(f.fields);
    total += f.length;
  }
  return {{"files", std::move(list)},
          {"name", name},
          {"piece length", kPieceLength},
          {"pieces", Pieces(total)}};
}

// The "pieces root" of a Leaf unless it is given: a file of one piece or less is hashed by it
// alone, so any 32 bytes but zeros will do.
inline const std::string kPiecesRoot(32, 'r');

// A file of a v2 file tree: {"": {"length", "pieces root"}}.
inline Bencode::Dict Leaf(int64_t length, const std::string& root = kPiecesRoot) {
  return {{"", Bencode::Dict{{"length", length}, {"pieces root", root}}}};
}

// {"file tree", "meta version": 2, "name", "piece length": 16384}: a v2-only torrent.
inline Bencode::Dict V2Info(Bencode::Dict tree, const std::string& name = "v2") {
  return {{"file tree", std::move(tree)},
          {"meta version", 2},
          {"name", name},
          {"piece length", kPieceLength}};
}

// A hybrid torrent "h" of the files "big" (`bigLength` bytes, its pieces root `bigRoot`) and
// "small" (5): the v2 file tree, and the v1 file list of the same with the padding file that
// aligns "small" to a piece, as hybrid torrents have it.
inline Bencode::Dict HybridInfo(int64_t bigLength, const std::string& bigRoot = kPiecesRoot) {
  std::vector<FileEntry> files = {FileEntry(bigLength, {"big"})};
  const int64_t pad = (kPieceLength - bigLength % kPieceLength) % kPieceLength;
  if (pad > 0)
    files.push_back(FileEntry::Of(
        pad,
        {{"attr", "p"}, {"length", pad}, {"path", Bencode::List{".pad", std::to_string(pad)}}}));
  files.emplace_back(5, Bencode::List{"small"});
  Bencode::Dict info = MultiFile(files, "h");
  info.emplace("file tree", Bencode::Dict{{"big", Leaf(bigLength, bigRoot)}, {"small", Leaf(5)}});
  info.emplace("meta version", 2);
  return info;
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
