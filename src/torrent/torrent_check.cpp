#include "torrent/torrent_check.h"

#include "torrent/info_hash.h"

namespace pellucor {
namespace {

// A bencode reader over a byte range. Each Skip* consumes one value and reports whether it was
// well formed; nesting is bounded so that hostile input cannot exhaust the stack.
class Bencode {
 public:
  explicit Bencode(std::string_view s) : s_(s) {}
  size_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ == s_.size(); }
  char Peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

  bool SkipValue(int depth = 0) {
    if (depth > kMaxDepth) return false;
    switch (Peek()) {
      case 'i':
        return SkipInteger();
      case 'l':
        ++pos_;
        while (Peek() != 'e') {
          if (AtEnd() || !SkipValue(depth + 1)) return false;
        }
        ++pos_;
        return true;
      case 'd':
        return SkipDictionary(depth, nullptr);
      default:
        return ReadString().has_value();
    }
  }

  // A dictionary; when `info` is given, the bytes of the value under the key "info".
  bool SkipDictionary(int depth, std::optional<std::string_view>* info) {
    if (Peek() != 'd') return false;
    ++pos_;
    while (Peek() != 'e') {
      if (AtEnd()) return false;
      const std::optional<std::string_view> key = ReadString();
      if (!key) return false;
      const size_t start = pos_;
      if (!SkipValue(depth + 1)) return false;
      if (info && *key == "info") *info = s_.substr(start, pos_ - start);
    }
    ++pos_;
    return true;
  }

  std::optional<std::string_view> ReadString() {
    size_t length = 0;
    const size_t start = pos_;
    while (Peek() >= '0' && Peek() <= '9') {
      length = length * 10 + static_cast<size_t>(Peek() - '0');
      if (length > s_.size()) return std::nullopt;
      ++pos_;
    }
    if (pos_ == start || Peek() != ':') return std::nullopt;
    ++pos_;
    if (s_.size() - pos_ < length) return std::nullopt;
    const std::string_view value = s_.substr(pos_, length);
    pos_ += length;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool SkipInteger() {
    ++pos_;  // 'i'
    if (Peek() == '-') ++pos_;
    const size_t digits = pos_;
    while (Peek() >= '0' && Peek() <= '9') ++pos_;
    if (pos_ == digits || Peek() != 'e') return false;
    ++pos_;
    return true;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<std::string_view> TorrentInfoBytes(std::string_view bytes) {
  Bencode b(bytes);
  std::optional<std::string_view> info;
  if (!b.SkipDictionary(0, &info) || !info || info->empty() || (*info)[0] != 'd')
    return std::nullopt;
  return info;
}

TorrentMatch MatchTorrent(const ByteBuffer& reply, const GbkText& magnetHash) {
  const std::optional<std::string_view> info = TorrentInfoBytes(reply.view());
  if (!info) return TorrentMatch::NotATorrent;
  const std::optional<InfoHash> hash = InfoHash::FromHex(magnetHash.view());
  if (!hash) return TorrentMatch::Unchecked;
  return hash->Matches(*info) ? TorrentMatch::Matches : TorrentMatch::Differs;
}

}  // namespace pellucor
