#include "torrent/bencode.h"

namespace pellucor {
namespace {

void AppendString(std::string& out, std::string_view s) {
  out += std::to_string(s.size());
  out += ':';
  out += s;
}

}  // namespace

Bencode Bencode::Raw(std::string bencoded) {
  return Bencode(RawBytes{std::move(bencoded)});
}

std::string Bencode::Encode() const {
  std::string out;
  EncodeTo(out);
  return out;
}

void Bencode::EncodeTo(std::string& out) const {
  if (const auto* i = std::get_if<int64_t>(&value_)) {
    out += 'i' + std::to_string(*i) + 'e';
  } else if (const auto* s = std::get_if<std::string>(&value_)) {
    AppendString(out, *s);
  } else if (const auto* list = std::get_if<List>(&value_)) {
    out += 'l';
    for (const Bencode& item : *list) item.EncodeTo(out);
    out += 'e';
  } else if (const auto* dict = std::get_if<Dict>(&value_)) {
    out += 'd';
    for (const auto& [key, item] : *dict) {
      AppendString(out, key);
      item.EncodeTo(out);
    }
    out += 'e';
  } else {
    out += std::get<RawBytes>(value_).bytes;
  }
}

}  // namespace pellucor
