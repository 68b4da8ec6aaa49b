#include "torrent/info_hash.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "torrent/digest.h"
#include "torrent/magnet_link.h"

namespace pellucor {
namespace {

const std::string kLower = "0123456789abcdef0123456789abcdef01234567";
const std::string kLower64 = kLower + kLower.substr(0, 24);
const std::string kBase32 = "AERUKZ4JVPG66AJDIVTYTK6N54ASGRLH";  // the same 20 bytes as kLower

std::optional<std::string> Hex(const std::optional<InfoHash>& hash) {
  return hash ? std::optional<std::string>(hash->Hex()) : std::nullopt;
}

// Every spelling of a hash the project reads, and what each reader makes of it.
TEST(InfoHash, Spellings) {
  const struct {
    std::string text;
    std::optional<std::string> hex, text32, urn;  // FromHex, FromText, FromUrn("urn:btih:" + text)
  } cases[] = {
      {kLower, kLower, kLower, kLower},
      {"0123456789ABCDEF0123456789ABCDEF01234567", kLower, kLower, kLower},
      {"0123456789aBcDeF0123456789AbCdEf01234567", kLower, kLower, kLower},
      {kBase32, std::nullopt, kLower, kLower},
      {"aerukz4jvpg66ajdivtytk6n54asgrlh", std::nullopt, kLower, kLower},
      {"AERUKZ4JVPG66AJDIVTYTK6N54ASGRL1", std::nullopt, std::nullopt, std::nullopt},
      {kLower64, kLower64, kLower64, std::nullopt},  // a v2 hash never follows "btih"
      {"", std::nullopt, std::nullopt, std::nullopt},
      {kLower.substr(1), std::nullopt, std::nullopt, std::nullopt},
      {kLower + "0", std::nullopt, std::nullopt, std::nullopt},
      {"g123456789abcdef0123456789abcdef01234567", std::nullopt, std::nullopt, std::nullopt},
      {" 123456789abcdef0123456789abcdef01234567", std::nullopt, std::nullopt, std::nullopt},
      {kLower64.substr(1), std::nullopt, std::nullopt, std::nullopt},
      {std::string(40, '\0'), std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hex(InfoHash::FromHex(c.text)), c.hex) << c.text;
    EXPECT_EQ(Hex(InfoHash::FromText(c.text)), c.text32) << c.text;
    EXPECT_EQ(Hex(InfoHash::FromUrn("urn:btih:" + c.text)), c.urn) << c.text;
  }
  EXPECT_EQ(Hex(InfoHash::FromUrn("URN:BTMH:1220" + kLower64)), kLower64);
  EXPECT_EQ(Hex(InfoHash::FromUrn("urn:btmh:1221" + kLower64)), std::nullopt);  // not SHA-256
  EXPECT_EQ(Hex(InfoHash::FromUrn("urn:btmh:1220" + kLower)), std::nullopt);
  EXPECT_EQ(Hex(InfoHash::FromUrn("urn:sha1:" + kLower)), std::nullopt);
  EXPECT_EQ(InfoHash::FromHex(kLower)->Hex(HexCase::Upper),
            "0123456789ABCDEF0123456789ABCDEF01234567");
}

TEST(InfoHash, MatchesTheDigestOfItsLength) {
  const std::string info = "d4:name1:xe";
  const auto sha1 =
      InfoHash::FromBytes(std::string_view(reinterpret_cast<const char*>(Sha1(info).data()), 20));
  const auto sha256 =
      InfoHash::FromBytes(std::string_view(reinterpret_cast<const char*>(Sha256(info).data()), 32));
  ASSERT_TRUE(sha1 && sha256);
  EXPECT_TRUE(sha1->Matches(info));
  EXPECT_TRUE(sha256->Matches(info));
  EXPECT_TRUE(sha256->IsV2());
  EXPECT_FALSE(sha1->Matches("d4:name1:ye"));
  EXPECT_FALSE(InfoHash::FromBytes("short"));
}

// The parts of a link besides its hash, which the lookups pass on.
TEST(MagnetLink, CarriesNameTrackersAndPeers) {
  const auto link = ReadMagnetLink("magnet:?xt=urn:btmh:1220" + kLower64 +
                                   "&dn=a+b%2Fc&tr=" + "udp%3A%2F%2Ft%3A1&xt=urn:btih:" + kBase32 +
                                   "&tr=http://u/a&x.pe=127.0.0.1:6881&dn=second&bad=%zz");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->Hash().Hex(), kLower);  // a hybrid link is known by its v1 hash
  EXPECT_EQ(Hex(link->v2), kLower64);
  EXPECT_EQ(link->name, "a b/c");
  EXPECT_EQ(link->trackers, (std::vector<std::string>{"udp://t:1", "http://u/a"}));
  EXPECT_EQ(link->peers, std::vector<std::string>{"127.0.0.1:6881"});
  EXPECT_FALSE(ReadMagnetLink("magnet:?dn=x"));
  EXPECT_FALSE(ReadMagnetLink("magnet:?xt=urn:btih:" + kLower + "&dn=a b"));
}

}  // namespace
}  // namespace pellucor
