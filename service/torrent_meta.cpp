#include "service/torrent_meta.h"

#include <algorithm>
#include <array>
#include <limits>

#include <libtorrent/hasher.hpp>

#include "convert/torrent_check.h"

namespace pellucor::service {
namespace {

// One decoded bencode value. Strings point into the input, which outlives the value.
struct Entry;
struct Value {
  enum class Kind { kInteger, kString, kList, kDictionary };
  Kind kind = Kind::kInteger;
  int64_t integer = 0;
  std::string_view string;
  std::vector<Value> list;
  std::vector<Entry> dictionary;  // in input order
};
struct Entry {
  std::string_view key;
  Value value;
};

// A strict decoder: canonical integers and string lengths only (no leading zeros, no "-0"),
// string keys, no key twice in one dictionary. Key order is not checked, as real torrents do not
// always sort their keys and the info hash comes from the raw bytes anyway. Nesting is bounded
// so that hostile input cannot exhaust the stack.
class Decoder {
 public:
  explicit Decoder(std::string_view s) : s_(s) {}

  // Exactly one value filling the whole input.
  bool DecodeAll(Value* out) { return Decode(out, 0) && pos_ == s_.size(); }

 private:
  static constexpr int kMaxDepth = 64;

  char Peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  bool Decode(Value* out, int depth) {
    switch (Peek()) {
      case 'i':
        out->kind = Value::Kind::kInteger;
        return DecodeInteger(&out->integer);
      case 'l':
        if (depth >= kMaxDepth) return false;
        out->kind = Value::Kind::kList;
        ++pos_;
        while (Peek() != 'e') {
          if (pos_ >= s_.size()) return false;
          out->list.emplace_back();
          if (!Decode(&out->list.back(), depth + 1)) return false;
        }
        ++pos_;
        return true;
      case 'd':
        if (depth >= kMaxDepth) return false;
        out->kind = Value::Kind::kDictionary;
        return DecodeDictionary(&out->dictionary, depth);
      default:
        out->kind = Value::Kind::kString;
        return DecodeString(&out->string);
    }
  }

  bool DecodeDictionary(std::vector<Entry>* entries, int depth) {
    ++pos_;  // 'd'
    while (Peek() != 'e') {
      if (pos_ >= s_.size()) return false;
      entries->emplace_back();
      if (!DecodeString(&entries->back().key)) return false;
      if (!Decode(&entries->back().value, depth + 1)) return false;
    }
    ++pos_;
    std::vector<std::string_view> keys;
    keys.reserve(entries->size());
    for (const Entry& e : *entries) keys.push_back(e.key);
    std::sort(keys.begin(), keys.end());
    return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
  }

  bool DecodeInteger(int64_t* out) {
    ++pos_;  // 'i'
    const bool negative = Peek() == '-';
    if (negative) ++pos_;
    const size_t start = pos_;
    uint64_t magnitude = 0;
    constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
    while (IsDigit(Peek())) {
      const uint64_t digit = static_cast<uint64_t>(Peek() - '0');
      if (magnitude > (kMax - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
      ++pos_;
    }
    const size_t digits = pos_ - start;
    if (digits == 0 || Peek() != 'e') return false;
    if (s_[start] == '0' && (digits > 1 || negative)) return false;  // "i03e", "i-0e"
    ++pos_;
    *out = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  bool DecodeString(std::string_view* out) {
    const size_t start = pos_;
    size_t length = 0;
    while (IsDigit(Peek())) {
      length = length * 10 + static_cast<size_t>(Peek() - '0');
      if (length > s_.size()) return false;
      ++pos_;
    }
    const size_t digits = pos_ - start;
    if (digits == 0 || Peek() != ':') return false;
    if (s_[start] == '0' && digits > 1) return false;  // "03:abc"
    ++pos_;
    if (s_.size() - pos_ < length) return false;
    *out = s_.substr(pos_, length);
    pos_ += length;
    return true;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

const Value* Lookup(const Value& dictionary, std::string_view key) {
  for (const Entry& e : dictionary.dictionary) {
    if (e.key == key) return &e.value;
  }
  return nullptr;
}

// "<key>.utf-8" when present, else "<key>": older clients wrote names in the local code page
// under the plain key and added the UTF-8 form beside it.
const Value* LookupPreferUtf8(const Value& dictionary, std::string_view key) {
  const Value* utf8 = Lookup(dictionary, std::string(key) + ".utf-8");
  return utf8 ? utf8 : Lookup(dictionary, key);
}

bool Is(const Value* v, Value::Kind kind) {
  return v && v->kind == kind;
}

// One file or directory name: it must stay inside the torrent's directory when saved.
bool IsSafeComponent(std::string_view c) {
  return !c.empty() && c != "." && c != ".." && c.find('/') == std::string_view::npos &&
         c.find('\0') == std::string_view::npos;
}

// A file length: a non-negative integer.
bool ReadLength(const Value* v, int64_t* out) {
  if (!Is(v, Value::Kind::kInteger) || v->integer < 0) return false;
  *out = v->integer;
  return true;
}

// The "files" list of a multi-file torrent.
bool ReadFileList(const Value& files, std::vector<TorrentFile>* out) {
  if (files.kind != Value::Kind::kList || files.list.empty()) return false;
  for (const Value& file : files.list) {
    if (file.kind != Value::Kind::kDictionary) return false;
    TorrentFile f;
    if (!ReadLength(Lookup(file, "length"), &f.size)) return false;
    const Value* path = LookupPreferUtf8(file, "path");
    if (!Is(path, Value::Kind::kList) || path->list.empty()) return false;
    // Padding that aligns the next file to a piece (hybrid torrents have it): no real file.
    const Value* attr = Lookup(file, "attr");
    if (Is(attr, Value::Kind::kString) && attr->string.find('p') != std::string_view::npos)
      continue;
    for (const Value& component : path->list) {
      if (component.kind != Value::Kind::kString || !IsSafeComponent(component.string))
        return false;
      if (!f.path.empty()) f.path += '/';
      f.path += component.string;
    }
    out->push_back(std::move(f));
  }
  return true;
}

// One node of a v2 "file tree": a directory maps names to nodes; a file is a dictionary whose
// only key is "" and whose value holds the length. Depth is bounded by the decoder.
bool ReadFileTree(const Value& node, const std::string& path, std::vector<TorrentFile>* out) {
  if (node.kind != Value::Kind::kDictionary || node.dictionary.empty()) return false;
  if (const Value* leaf = Lookup(node, "")) {
    if (path.empty() || node.dictionary.size() != 1 || leaf->kind != Value::Kind::kDictionary)
      return false;
    TorrentFile f;
    f.path = path;
    if (!ReadLength(Lookup(*leaf, "length"), &f.size)) return false;
    out->push_back(std::move(f));
    return true;
  }
  for (const Entry& e : node.dictionary) {
    if (!IsSafeComponent(e.key)) return false;
    const std::string child = path.empty() ? std::string(e.key) : path + "/" + std::string(e.key);
    if (!ReadFileTree(e.value, child, out)) return false;
  }
  return true;
}

template <typename Bytes>
std::string LowerHex(const Bytes& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const auto b : digest) {
    hex += kHex[static_cast<uint8_t>(b) >> 4];
    hex += kHex[static_cast<uint8_t>(b) & 15];
  }
  return hex;
}

}  // namespace

std::optional<TorrentMeta> DescribeTorrent(std::string_view bytes) {
  Value root;
  if (!Decoder(bytes).DecodeAll(&root) || root.kind != Value::Kind::kDictionary)
    return std::nullopt;
  const Value* info = Lookup(root, "info");
  if (!Is(info, Value::Kind::kDictionary)) return std::nullopt;
  const std::optional<std::string_view> rawInfo = pellucor::TorrentInfoBytes(bytes);
  if (!rawInfo) return std::nullopt;

  TorrentMeta meta;
  const Value* name = LookupPreferUtf8(*info, "name");
  if (!Is(name, Value::Kind::kString) || !IsSafeComponent(name->string)) return std::nullopt;
  meta.name = name->string;

  // v1 layouts first: a hybrid torrent carries both, and v1 clients see only these.
  const Value* length = Lookup(*info, "length");
  const Value* files = Lookup(*info, "files");
  const Value* tree = Lookup(*info, "file tree");
  const Value* version = Lookup(*info, "meta version");
  const bool v2 = tree && Is(version, Value::Kind::kInteger) && version->integer == 2;
  if (length && files) return std::nullopt;
  if (length) {
    TorrentFile f;
    f.path = meta.name;
    if (!ReadLength(length, &f.size)) return std::nullopt;
    meta.files.push_back(std::move(f));
  } else if (files) {
    if (!ReadFileList(*files, &meta.files)) return std::nullopt;
  } else if (tree) {
    if (!ReadFileTree(*tree, "", &meta.files)) return std::nullopt;
  } else {
    return std::nullopt;
  }

  for (const TorrentFile& f : meta.files) {
    if (f.size > std::numeric_limits<int64_t>::max() - meta.totalSize) return std::nullopt;
    meta.totalSize += f.size;
  }
  meta.infoHash = LowerHex(pellucor::Sha1(*rawInfo));
  if (v2) {
    std::vector<TorrentFile> v2Files;
    if (!ReadFileTree(*tree, "", &v2Files)) return std::nullopt;
    const lt::sha256_hash sha256 =
        lt::hasher256(rawInfo->data(), static_cast<int>(rawInfo->size())).final();
    meta.infoHashV2 = LowerHex(sha256);
    if (!length && !files) meta.infoHash = meta.infoHashV2.substr(0, 40);
    // A file of one piece or less is hashed by its "pieces root" alone.
    const Value* pieceLength = Lookup(*info, "piece length");
    const int64_t piece = Is(pieceLength, Value::Kind::kInteger) ? pieceLength->integer : 0;
    const bool needsLayers = std::any_of(v2Files.begin(), v2Files.end(),
                                         [piece](const TorrentFile& f) { return f.size > piece; });
    meta.pieceLayers = !needsLayers || Is(Lookup(root, "piece layers"), Value::Kind::kDictionary);
  }
  return meta;
}

std::optional<std::string> NormaliseInfoHash(std::string_view hex) {
  if (hex.size() != 40 && hex.size() != 64) return std::nullopt;
  std::string out(hex);
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace pellucor::service
