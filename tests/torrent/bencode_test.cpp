#include "torrent/bencode.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(Bencode, WritesEachKindWithSortedKeysAndRawBytesAsTheyAre) {
  const struct {
    Bencode value;
    std::string bytes;
  } cases[] = {
      {Bencode(0), "i0e"},
      {Bencode(int64_t{-9000000000}), "i-9000000000e"},
      {Bencode(""), "0:"},
      {Bencode(std::string("a\0b", 3)), std::string("3:a\0b", 5)},
      {Bencode(Bencode::List{1, "x", Bencode::List{}}), "li1e1:xlee"},
      // Keys in byte order, whatever order they were given in.
      {Bencode(Bencode::Dict{{"b", 1}, {"a", "x"}, {"B", 2}}), "d1:Bi2e1:a1:x1:bi1ee"},
      {Bencode(Bencode::Dict{{"info", Bencode::Raw("d4:name1:xe")}}), "d4:infod4:name1:xee"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.Encode(), c.bytes);
}

}  // namespace
}  // namespace pellucor
