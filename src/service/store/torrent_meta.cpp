// Torrents are read with libtorrent's decoder, the one that judged the metadata when it came from
// the swarm, so what libtorrent accepts there the store accepts too (nesting, integer forms,
// repeated keys: the first counts, as in libtorrent). What the service checks on top protects
// it and the programs that save the files: safe names, sizes, nothing after the torrent.
#include "service/store/torrent_meta.h"

#include <algorithm>
#include <limits>

#include <libtorrent/bdecode.hpp>
#include <libtorrent/hasher.hpp>

#include "base/codepage.h"
#include "base/hex.h"
#include "base/utf8.h"
#include "torrent/torrent_check.h"

namespace pellucor::service {
namespace {

namespace lt = libtorrent;
using Node = lt::bdecode_node;

// libtorrent decodes metadata from the swarm with a depth limit of 100 (so 99 levels in the info
// dictionary); a .torrent adds one level around it. Its token limit for .torrent files is 3 M.
constexpr int kDepthLimit = 101;
constexpr int kTokenLimit = 3000000;

std::string_view Sv(lt::string_view s) {
  return {s.data(), s.size()};
}

std::string_view View(const Node& n) {
  const lt::span<const char> s = n.data_section();
  return {s.data(), static_cast<size_t>(s.size())};
}

// "<key>.utf-8" when present, else "<key>": older clients wrote names in the local code page
// under the plain key and added the UTF-8 form beside it.
Node FindPreferUtf8(const Node& dictionary, const std::string& key) {
  const Node utf8 = dictionary.dict_find(key + ".utf-8");
  return utf8 ? utf8 : dictionary.dict_find(key);
}

// One file or directory name: it must stay inside the torrent's directory when saved.
bool IsSafeComponent(std::string_view c) {
  return !c.empty() && c != "." && c != ".." && c.find('/') == std::string_view::npos &&
         c.find('\0') == std::string_view::npos;
}

// The value of an integer node, read from its text: libtorrent reads an integer that overflows
// 64 bits as 0, which would make a huge size look empty.
std::optional<int64_t> Integer(const Node& n) {
  if (n.type() != Node::int_t) return std::nullopt;
  std::string_view text = View(n);  // "i-123e"
  if (text.size() < 3) return std::nullopt;
  text = text.substr(1, text.size() - 2);
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  uint64_t magnitude = 0;
  constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (kMax - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (text.empty()) return std::nullopt;
  return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

// A file length: a non-negative integer.
bool ReadLength(const Node& n, int64_t* out) {
  const std::optional<int64_t> value = Integer(n);
  if (!value || *value < 0) return false;
  *out = *value;
  return true;
}

// The "files" list of a multi-file torrent.
bool ReadFileList(const Node& files, std::vector<TorrentFile>* out) {
  if (files.type() != Node::list_t || files.list_size() == 0) return false;
  for (int i = 0; i < files.list_size(); ++i) {
    const Node file = files.list_at(i);
    if (file.type() != Node::dict_t) return false;
    TorrentFile f;
    if (!ReadLength(file.dict_find("length"), &f.size)) return false;
    const Node path = FindPreferUtf8(file, "path");
    if (path.type() != Node::list_t || path.list_size() == 0) return false;
    // Padding that aligns the next file to a piece (hybrid torrents have it): no real file.
    const Node attr = file.dict_find("attr");
    if (attr.type() == Node::string_t && attr.string_value().find('p') != std::string_view::npos)
      continue;
    for (int k = 0; k < path.list_size(); ++k) {
      const Node component = path.list_at(k);
      if (component.type() != Node::string_t || !IsSafeComponent(Sv(component.string_value())))
        return false;
      if (!f.path.empty()) f.path += '/';
      f.path += ReadableUtf8(Sv(component.string_value()));
    }
    out->push_back(std::move(f));
  }
  return true;
}

// One node of a v2 "file tree": a directory maps names to nodes; a file is a dictionary whose
// only key is "" and whose value holds the length. Depth is bounded by the decoder.
bool ReadFileTree(const Node& node, const std::string& path, std::vector<TorrentFile>* out) {
  if (node.type() != Node::dict_t || node.dict_size() == 0) return false;
  if (const Node leaf = node.dict_find("")) {
    if (path.empty() || node.dict_size() != 1 || leaf.type() != Node::dict_t) return false;
    TorrentFile f;
    f.path = path;
    if (!ReadLength(leaf.dict_find("length"), &f.size)) return false;
    out->push_back(std::move(f));
    return true;
  }
  for (int i = 0; i < node.dict_size(); ++i) {
    const auto [key, child] = node.dict_at(i);
    if (!IsSafeComponent(Sv(key))) return false;
    const std::string name = ReadableUtf8(Sv(key));
    if (!ReadFileTree(child, path.empty() ? name : path + "/" + name, out)) return false;
  }
  return true;
}

}  // namespace

std::string ReadableUtf8(std::string_view raw) {
  if (IsUtf8(raw)) return std::string(raw);
  // Code page 936 "works" when every byte pair is a character of it: the text then converts
  // back to the same bytes (a pair that is not one reads as "?").
  const std::u16string units = GbkToUtf16(raw);
  if (Utf16ToGbk(units) == raw) return Utf16ToUtf8(units);
  return Utf16ToUtf8(Utf8ToUtf16(raw));
}

std::optional<TorrentMeta> DescribeTorrent(std::string_view bytes) {
  if (bytes.size() > kMaxTorrentBytes) return std::nullopt;
  lt::error_code ec;
  const Node root = lt::bdecode(lt::span<const char>(bytes.data(), static_cast<long>(bytes.size())),
                                ec, nullptr, kDepthLimit, kTokenLimit);
  if (ec || root.type() != Node::dict_t) return std::nullopt;
  if (View(root).size() != bytes.size()) return std::nullopt;  // bytes after the dictionary
  const Node info = root.dict_find_dict("info");
  if (!info) return std::nullopt;
  const std::string_view rawInfo = View(info);

  TorrentMeta meta;
  const Node name = FindPreferUtf8(info, "name");
  if (name.type() != Node::string_t || !IsSafeComponent(Sv(name.string_value())))
    return std::nullopt;
  meta.name = ReadableUtf8(Sv(name.string_value()));

  // v1 layouts first: a hybrid torrent carries both, and v1 clients see only these.
  const Node length = info.dict_find("length");
  const Node files = info.dict_find("files");
  const Node tree = info.dict_find("file tree");
  const std::optional<int64_t> version = Integer(info.dict_find("meta version"));
  const bool v2 = tree && version == 2;
  if (length && files) return std::nullopt;
  if (length) {
    TorrentFile f;
    f.path = meta.name;
    if (!ReadLength(length, &f.size)) return std::nullopt;
    meta.files.push_back(std::move(f));
  } else if (files) {
    if (!ReadFileList(files, &meta.files)) return std::nullopt;
  } else if (tree) {
    if (!ReadFileTree(tree, "", &meta.files)) return std::nullopt;
  } else {
    return std::nullopt;
  }

  for (const TorrentFile& f : meta.files) {
    if (f.size > std::numeric_limits<int64_t>::max() - meta.totalSize) return std::nullopt;
    meta.totalSize += f.size;
  }
  meta.infoHash = HexEncode(pellucor::Sha1(rawInfo), HexCase::Lower);
  if (v2) {
    std::vector<TorrentFile> v2Files;
    if (!ReadFileTree(tree, "", &v2Files)) return std::nullopt;
    const lt::sha256_hash sha256 =
        lt::hasher256(rawInfo.data(), static_cast<int>(rawInfo.size())).final();
    meta.infoHashV2 = HexEncode(sha256, HexCase::Lower);
    if (!length && !files) meta.infoHash = meta.infoHashV2.substr(0, 40);
    // A file of one piece or less is hashed by its "pieces root" alone.
    const int64_t piece = Integer(info.dict_find("piece length")).value_or(0);
    const bool needsLayers = std::any_of(v2Files.begin(), v2Files.end(),
                                         [piece](const TorrentFile& f) { return f.size > piece; });
    meta.pieceLayers = !needsLayers || root.dict_find_dict("piece layers");
  }
  return meta;
}

}  // namespace pellucor::service
