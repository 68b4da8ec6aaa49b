// libtorrent's own test torrents (tests/data/torrents/, see its README) and what libtorrent
// 2.0.8 makes of each, as expected.tsv says.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace pellucor::testing {

struct RealTorrent {
  std::string file;    // the name in tests/data/torrents/
  bool loads = false;  // else refused
  std::string reason;  // libtorrent's, for a file it refuses
  std::string hash;    // 40 lower-case hex: the SHA-1, or a v2-only torrent's truncated SHA-256
  std::string hashV2;  // 64 lower-case hex for v2 and hybrid torrents, else empty
  std::string name;
  size_t files = 0;  // without padding and symlinks
  int64_t size = 0;
  bool V2Only() const { return !hashV2.empty() && hashV2.compare(0, 40, hash) == 0; }
  bool Hybrid() const { return !hashV2.empty() && !V2Only(); }
};

inline std::string RealTorrentsDir() {
  return std::string(PELLUCOR_TESTDATA_DIR) + "/torrents/";
}

// The rows of expected.tsv: "file <tab> loads <tab> hash <tab> v2 hash or - <tab> name <tab>
// files <tab> size", or "file <tab> refused: REASON"; "#" starts a comment line.
inline std::vector<RealTorrent> RealTorrents() {
  std::vector<RealTorrent> rows;
  std::istringstream in(ReadWholeFile(RealTorrentsDir() + "expected.tsv"));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    for (size_t at = 0;;) {
      const size_t tab = line.find('\t', at);
      f.push_back(line.substr(at, tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    RealTorrent row;
    row.file = f[0];
    const std::string refused = "refused: ";
    if (f.size() > 1 && f[1].rfind(refused, 0) == 0) {
      row.reason = f[1].substr(refused.size());
    } else if (f.size() == 7) {
      row.loads = true;
      row.hash = f[2];
      row.hashV2 = f[3] == "-" ? "" : f[3];
      row.name = f[4];
      row.files = std::stoul(f[5]);
      row.size = std::stoll(f[6]);
    }
    rows.push_back(row);
  }
  return rows;
}

}  // namespace pellucor::testing
