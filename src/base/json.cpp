#include "base/json.h"

#include <cstdlib>
#include <cstring>

#include "base/codepage.h"
#include "base/hex.h"
#include "base/utf8.h"

namespace pellucor {

JsonValue::JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;
namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  std::optional<JsonValue> Document() {
    JsonValue v;
    if (!Value(v, 0)) return std::nullopt;
    Space();
    if (pos_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  void Space() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }
  bool Take(char c) {
    Space();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  // `depth` counts the arrays and objects around the value.
  bool Value(JsonValue& v, int depth) {
    Space();
    if (pos_ >= s_.size()) return false;
    switch (s_[pos_]) {
      case '{':
        return Object(v, depth);
      case '[':
        return Array(v, depth);
      case '"':
        v.kind = JsonValue::Kind::String;
        return String(v.string);
      case 't':
        v.kind = JsonValue::Kind::Bool;
        v.boolean = true;
        return Word("true");
      case 'f':
        v.kind = JsonValue::Kind::Bool;
        return Word("false");
      case 'n':
        v.kind = JsonValue::Kind::Null;
        return Word("null");
      default:
        return Number(v);
    }
  }

  bool Object(JsonValue& v, int depth) {
    if (depth >= kMaxDepth) return false;
    v.kind = JsonValue::Kind::Object;
    ++pos_;
    if (Take('}')) return true;
    do {
      Space();
      std::string key;
      if (pos_ >= s_.size() || s_[pos_] != '"' || !String(key) || !Take(':')) return false;
      JsonValue member;
      if (!Value(member, depth + 1)) return false;
      v.members.emplace_back(std::move(key), std::move(member));
    } while (Take(','));
    return Take('}');
  }

  bool Array(JsonValue& v, int depth) {
    if (depth >= kMaxDepth) return false;
    v.kind = JsonValue::Kind::Array;
    ++pos_;
    if (Take(']')) return true;
    do {
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      v.items.push_back(std::move(item));
    } while (Take(','));
    return Take(']');
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool Number(JsonValue& v) {
    const size_t start = pos_;
    auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ > from;
    };
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (!digits()) return false;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (!digits()) return false;
    }
    v.kind = JsonValue::Kind::Number;
    v.number = std::strtod(std::string(s_.substr(start, pos_ - start)).c_str(), nullptr);
    return true;
  }

  bool Hex4(uint32_t& out) {
    if (pos_ + 4 > s_.size()) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexDigitValue(s_[pos_++]);
      if (digit < 0) return false;
      out = out << 4 | static_cast<uint32_t>(digit);
    }
    return true;
  }

  bool String(std::string& out) {
    ++pos_;  // the opening quote
    while (pos_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= s_.size()) return false;
      const char e = s_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low;
            if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (kind != Kind::Object) return nullptr;
  for (const auto& [name, value] : members)
    if (name == key) return &value;
  return nullptr;
}

std::optional<std::string> JsonValue::StringMember(std::string_view key) const {
  const JsonValue* v = Find(key);
  if (!v || v->kind != Kind::String) return std::nullopt;
  return v->string;
}

std::optional<JsonValue> ParseJson(std::string_view text) {
  return Reader(text).Document();
}

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size();) {
    const char ch = utf8[i];
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(utf8, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(utf8.substr(i, length));
        i += length;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += HexEncode(std::string_view(&ch, 1), HexCase::Lower);
        } else {
          out.push_back(ch);
        }
    }
  }
  return out + "\"";
}

}  // namespace pellucor
