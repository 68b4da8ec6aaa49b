// Writing bencoding (BEP 3). A value is built as a tree and written at once; dictionaries keep
// their keys sorted as raw bytes, as bencoding requires. Raw() holds bytes that are bencoded
// already and go out exactly as they are: an info dictionary received from a peer, whose hash
// must not change.
//   Bencode(Bencode::Dict{{"b", 1}, {"a", "x"}}).Encode() -> "d1:a1:x1:bi1ee"
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pellucor {

class Bencode {
 public:
  using List = std::vector<Bencode>;
  using Dict = std::map<std::string, Bencode>;

  Bencode(int64_t value) : value_(value) {}  // NOLINT: a value is any of these
  Bencode(int value) : value_(int64_t{value}) {}
  Bencode(std::string_view text) : value_(std::string(text)) {}
  Bencode(const char* text) : value_(std::string(text)) {}
  Bencode(std::string text) : value_(std::move(text)) {}
  Bencode(List list) : value_(std::move(list)) {}
  Bencode(Dict dict) : value_(std::move(dict)) {}
  static Bencode Raw(std::string bencoded);

  std::string Encode() const;
  void EncodeTo(std::string& out) const;

 private:
  struct RawBytes {
    std::string bytes;
  };
  explicit Bencode(RawBytes raw) : value_(std::move(raw)) {}
  std::variant<int64_t, std::string, List, Dict, RawBytes> value_;
};

}  // namespace pellucor
