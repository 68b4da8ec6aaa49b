// A torrent is judged by libtorrent itself (lt::torrent_info), the reader every client built on
// it uses and the one that judged the metadata when it came from the swarm: what it loads the
// store takes, what it refuses the store refuses, in its words. Bytes after the torrent's
// dictionary are ignored, as libtorrent ignores them (tools often save a line feed after it).
//
// What the service shows (name, file list, sizes) is read from the raw dictionary on top, so that
// names written in the legacy Chinese code page read right, and shaped the way clients shape
// what they write to disk: see ShownNameComponent. Padding and symlink entries are not files.
#include "service/store/torrent_meta.h"

#include <algorithm>
#include <limits>

#include <libtorrent/bdecode.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/torrent_info.hpp>

#include "base/codepage.h"
#include "base/hex.h"
#include "base/utf8.h"
#include "torrent/shown_name.h"

namespace pellucor::service {
namespace {

namespace lt = libtorrent;
using Node = lt::bdecode_node;

// libtorrent decodes metadata from the swarm with a depth limit of 100 (so 99 levels in the info
// dictionary); a .torrent adds one level around it. Its token limit for .torrent files is 3 M,
// which large real torrents exceed; clients built on it raise it to 10 M.
constexpr int kDepthLimit = 101;
constexpr int kTokenLimit = 10000000;

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

// A path list ("path" or "path.utf-8") joined by "/", each component cleaned.
std::string JoinPath(const Node& list) {
  std::string path;
  for (int k = 0; k < list.list_size(); ++k) {
    const Node component = list.list_at(k);
    if (component.type() != Node::string_t) continue;
    const std::optional<std::string> clean = ShownNameComponent(Sv(component.string_value()));
    if (!clean) continue;
    if (!path.empty()) path += '/';
    path += *clean;
  }
  return path.empty() ? "_" : path;
}

// Whether a file entry is no file of its own: BEP 47 padding ("attr" with "p") or a symlink
// ("attr" with "l"), or the padding some clients wrote before BEP 47, a file named
// "_____padding_file_…".
bool IsPaddingOrLink(const Node& entry, std::string_view lastComponent) {
  const Node attr = entry.dict_find("attr");
  if (attr.type() == Node::string_t) {
    const std::string_view a = Sv(attr.string_value());
    if (a.find('p') != std::string_view::npos || a.find('l') != std::string_view::npos) return true;
  }
  return lastComponent.rfind("_____padding_file_", 0) == 0;
}

// The "files" list of a multi-file torrent.
void ReadFileList(const Node& files, std::vector<TorrentFile>* out) {
  for (int i = 0; i < files.list_size(); ++i) {
    const Node file = files.list_at(i);
    if (file.type() != Node::dict_t) continue;
    const Node path = FindPreferUtf8(file, "path");
    const int count = path.type() == Node::list_t ? path.list_size() : 0;
    const Node last = count > 0 ? path.list_at(count - 1) : Node();
    if (IsPaddingOrLink(file, last.type() == Node::string_t ? Sv(last.string_value()) : ""))
      continue;
    TorrentFile f;
    f.path = count > 0 ? JoinPath(path) : "_";
    f.size = Integer(file.dict_find("length")).value_or(0);
    out->push_back(std::move(f));
  }
}

// One node of a v2 "file tree": a directory maps names to nodes; a file is a dictionary whose
// only key is "" and whose value holds the length (and "attr" for a symlink).
void ReadFileTree(const Node& node, const std::string& path, std::vector<TorrentFile>* out) {
  if (node.type() != Node::dict_t) return;
  if (const Node leaf = node.dict_find_dict("")) {
    const size_t slash = path.rfind('/');
    if (IsPaddingOrLink(leaf, slash == std::string::npos ? path : path.substr(slash + 1))) return;
    TorrentFile f;
    f.path = path.empty() ? "_" : path;
    f.size = Integer(leaf.dict_find("length")).value_or(0);
    out->push_back(std::move(f));
    return;
  }
  for (int i = 0; i < node.dict_size(); ++i) {
    const auto [key, child] = node.dict_at(i);
    const std::optional<std::string> name = ShownNameComponent(Sv(key));
    ReadFileTree(child, !name ? path : path.empty() ? *name : path + "/" + *name, out);
  }
}

}  // namespace

std::optional<TorrentMeta> DescribeTorrent(std::string_view bytes, std::string* why) {
  auto refuse = [why](std::string reason) -> std::optional<TorrentMeta> {
    if (why) *why = std::move(reason);
    return std::nullopt;
  };
  if (bytes.size() > kMaxTorrentBytes) return refuse("larger than 100 MiB");
  const lt::span<const char> span(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()));
  lt::load_torrent_limits limits;
  limits.max_buffer_size = static_cast<int>(kMaxTorrentBytes);
  limits.max_decode_depth = kDepthLimit;
  limits.max_decode_tokens = kTokenLimit;
  std::shared_ptr<const lt::torrent_info> torrent;
  try {
    torrent = std::make_shared<const lt::torrent_info>(span, limits, lt::from_span);
  } catch (const lt::system_error& e) {
    return refuse(e.code().message());
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  lt::error_code ec;
  const Node root = lt::bdecode(span, ec, nullptr, kDepthLimit, kTokenLimit);
  const Node info = ec ? Node() : root.dict_find_dict("info");
  if (!info) return refuse("missing or invalid 'info' section in torrent file");

  TorrentMeta meta;
  const Node name = FindPreferUtf8(info, "name");
  // A name that cleans away to nothing ("..") is libtorrent's stand-in: the info hash.
  meta.name = name.type() == Node::string_t
                  ? ShownNameComponent(Sv(name.string_value())).value_or(torrent->name())
                  : torrent->name();
  // v1 layouts first: a hybrid torrent carries both, and v1 clients see only these.
  if (const Node files = info.dict_find_list("files")) {
    ReadFileList(files, &meta.files);
  } else if (info.dict_find("length")) {
    meta.files.push_back({meta.name, Integer(info.dict_find("length")).value_or(0)});
  } else {
    ReadFileTree(info.dict_find_dict("file tree"), "", &meta.files);
  }
  for (const TorrentFile& f : meta.files) meta.totalSize += f.size;

  const lt::info_hash_t hashes = torrent->info_hashes();
  if (hashes.has_v2()) meta.infoHashV2 = HexEncode(hashes.v2, HexCase::Lower);
  meta.infoHash =
      hashes.has_v1() ? HexEncode(hashes.v1, HexCase::Lower) : meta.infoHashV2.substr(0, 40);
  if (hashes.has_v2()) {
    // A file of one piece or less is hashed by its "pieces root" alone; a longer one needs its
    // piece layer, which the metadata exchange does not carry.
    const lt::file_storage& fs = torrent->files();
    for (const lt::file_index_t i : fs.file_range()) {
      if (fs.pad_file_at(i) || fs.file_size(i) <= fs.piece_length()) continue;
      if (torrent->piece_layer(i).empty()) meta.pieceLayers = false;
    }
  }
  return meta;
}

}  // namespace pellucor::service
