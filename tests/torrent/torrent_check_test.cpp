#include "torrent/torrent_check.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/hex.h"
#include "support/real_torrents.h"
#include "support/torrents.h"

namespace pellucor {
namespace {

using testing::MakeTorrent;
using testing::Torrent;

TEST(TorrentCheck, InfoBytesAndHashes) {
  struct Case {
    std::string bytes;
    std::optional<std::string> info;
  };
  const Case cases[] = {
      {"d4:infod4:name1:xee", "d4:name1:xe"},
      {"d1:ai-3e4:infod1:xli1eli2eeee1:zlee", "d1:xli1eli2eeee"},
      {"d4:infoi3ee", std::nullopt},             // info is no dictionary
      {"d4:infod4:name1:xee\n", "d4:name1:xe"},  // bytes after the torrent do not count
      {"d4:infod4:name1:xeede", "d4:name1:xe"},
      {"d4:name1:xe", std::nullopt},
      {"l4:infoe", std::nullopt},
      {"d4:infod4:name5:xe", std::nullopt},  // string runs past the end
      {"d4:infod1:ai-e", std::nullopt},
      {"<html>d4:infodee</html>", std::nullopt},
      {"", std::nullopt},
      {std::string(200, 'l') + "4:infoe", std::nullopt},  // nesting beyond the bound
  };
  for (const Case& c : cases) {
    const auto got = TorrentInfoBytes(c.bytes);
    EXPECT_EQ(got ? std::optional<std::string>(std::string(*got)) : std::nullopt, c.info)
        << c.bytes;
  }
  EXPECT_EQ(HexEncode(Sha1("abc")), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(HexEncode(Sha1("")), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  EXPECT_EQ(HexEncode(Sha256("abc")),
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(HexEncode(Sha256("")),
            "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
  const Torrent t = MakeTorrent(1000);
  const ByteBuffer bytes(t.bytes);
  struct HashCase {
    std::string hash;
    TorrentMatch want;
  };
  const HashCase hashes[] = {
      {t.hash, TorrentMatch::Matches},
      {LowerCaseAscii(GbkText(t.hash)).str(), TorrentMatch::Matches},
      {t.hashV2, TorrentMatch::Matches},
      // A v2 torrent asked for by the hash its peers use: the first 20 bytes of the SHA-256.
      {t.hashV2.substr(0, 40), TorrentMatch::Matches},
      {LowerCaseAscii(GbkText(t.hashV2.substr(0, 40))).str(), TorrentMatch::Matches},
      {std::string(40, '0'), TorrentMatch::Differs},
      {std::string(64, '0'), TorrentMatch::Differs},
      {t.hash.substr(0, 39), TorrentMatch::Unchecked},
      {" " + t.hash, TorrentMatch::Unchecked},  // not a hash: no check
  };
  for (const HashCase& c : hashes)
    EXPECT_EQ(MatchTorrent(bytes, GbkText(c.hash)), c.want) << c.hash;
  EXPECT_EQ(MatchTorrent(ByteBuffer(std::string("<html>")), GbkText(t.hash)),
            TorrentMatch::NotATorrent);
  EXPECT_EQ(MatchTorrent(ByteBuffer(t.bytes + "\n"), GbkText(t.hash)), TorrentMatch::Matches);
}

// The client's check over torrents written by others: every one libtorrent loads is the torrent
// of its hash, and of each hash a v2 or hybrid torrent goes by (the SHA-256, and the truncated
// SHA-256 v2 peers use), a line feed after it or not.
TEST(TorrentCheck, RealTorrentsMatchEveryHashTheyGoBy) {
  int checked = 0;
  for (const testing::RealTorrent& row : testing::RealTorrents()) {
    if (!row.loads) continue;
    SCOPED_TRACE(row.file);
    const std::string bytes = testing::ReadWholeFile(testing::RealTorrentsDir() + row.file);
    std::vector<std::string> hashes = {row.hash};
    if (!row.hashV2.empty()) hashes.insert(hashes.end(), {row.hashV2, row.hashV2.substr(0, 40)});
    for (const std::string& hash : hashes) {
      EXPECT_EQ(MatchTorrent(ByteBuffer(bytes), GbkText(hash)), TorrentMatch::Matches) << hash;
      EXPECT_EQ(MatchTorrent(ByteBuffer(bytes + "\n"), GbkText(hash)), TorrentMatch::Matches);
    }
    EXPECT_EQ(MatchTorrent(ByteBuffer(bytes), GbkText(std::string(40, '0'))),
              TorrentMatch::Differs);
    ++checked;
  }
  EXPECT_GT(checked, 55);
}

}  // namespace
}  // namespace pellucor
