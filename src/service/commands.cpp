#include "service/commands.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "base/utf8.h"
#include "service/core/log.h"
#include "service/store/torrent_meta.h"

namespace pellucor::service {

bool ReadFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *bytes = out.str();
  return static_cast<bool>(in) || in.eof();
}

// The store at `location`; empty: the SQLite file in `dataDir`.
std::unique_ptr<Store> OpenStore(const std::string& location, const std::string& dataDir,
                                 const StoreOptions& options) {
  std::error_code ec;
  if (location.empty()) std::filesystem::create_directories(dataDir, ec);
  std::string error;
  auto store = Store::Open(location.empty() ? "sqlite:" + dataDir + "/torrents.sqlite" : location,
                           &error, options);
  if (!store) {
    std::cerr << "pellucor-service: " << error << "\n";
    Log(LogLevel::kError, "store_error", {{"error", error}});
  }
  return store;
}

int Import(Store& store, const std::vector<std::string>& files) {
  int failed = 0;
  for (const std::string& file : files) {
    std::string bytes, error;
    TorrentMeta meta;
    if (!ReadFile(file, &bytes)) {
      std::cerr << file << ": cannot be read\n";
      ++failed;
    } else if (const std::optional<TorrentMeta> described = DescribeTorrent(bytes);
               described && store.Find(described->infoHash)) {
      // Its first bytes stay: a second import of the same torrent writes nothing.
      std::cout << described->infoHash << "  " << PrintableUtf8(described->name)
                << "  already stored\n";
    } else if (!store.Add(bytes, "import", &error, &meta)) {
      std::cerr << file << ": " << error << "\n";
      ++failed;
    } else {
      // A name is the torrent maker's: shown with no control or direction change left in it.
      std::cout << meta.infoHash << "  " << PrintableUtf8(meta.name) << "\n";
    }
  }
  return failed ? 1 : 0;
}

int Migrate(Store& from, Store& to) {
  int64_t copied = 0, present = 0, failed = 0;
  std::string error;
  const bool read = from.ForEach(
      [&](const StoredTorrent& t) {
        std::string message;
        if (const std::optional<StoredTorrent> there = to.Find(t.meta.infoHash)) {
          if (there->bytes == t.bytes) {
            ++present;
          } else {
            std::cerr << t.meta.infoHash << ": stored with other bytes in the target; kept\n";
            ++failed;
          }
        } else if (!to.Add(t.bytes, t.source, &message, nullptr, t.addedAt)) {
          std::cerr << t.meta.infoHash << ": " << message << "\n";
          ++failed;
        } else {
          ++copied;
        }
        return true;
      },
      &error);
  if (!read) {
    std::cerr << "pellucor-service: reading the source failed: " << error << "\n";
    ++failed;
  }
  std::cout << copied << " copied, " << present << " already there, " << failed << " failed; "
            << to.Count() << " torrents in the target" << std::endl;
  return failed ? 1 : 0;
}

int Check(Store& store) {
  std::vector<std::string> problems;
  const bool ok = store.Check(&problems);
  for (const std::string& problem : problems) std::cout << problem << "\n";
  std::cout << (ok ? "ok" : "problems found") << ": " << store.Count() << " torrents" << std::endl;
  return ok ? 0 : 1;
}

}  // namespace pellucor::service
