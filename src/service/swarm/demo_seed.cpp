#include "service/swarm/demo_seed.h"

#include <filesystem>
#include <fstream>

namespace pellucor::service {

namespace fs = std::filesystem;

namespace {

const char kDemoName[] = "Pellucor演示";

// Writes `bytes` to `path` unless the file already holds exactly them.
bool Ensure(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  if (fs::exists(path, ec) && fs::file_size(path, ec) == bytes.size()) {
    std::ifstream in(path, std::ios::binary);
    std::string old(bytes.size(), '\0');
    in.read(old.data(), static_cast<std::streamsize>(old.size()));
    if (old == bytes) return true;
  }
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The same bytes on every run, so the demo's info hash never changes. A megabyte in pieces of
// 16 KB makes the torrent larger than 1000 bytes, the smallest file the desktop tool accepts.
std::string SampleBytes(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return s;
}

}  // namespace

std::unique_ptr<DemoSeed> DemoSeed::Start(const std::string& directory, std::string* error,
                                          const std::vector<std::string>& dhtBootstrap) {
  const fs::path root = fs::path(directory);
  const fs::path content = root / kDemoName;
  if (!Ensure(content / "说明.txt",
              "这是 Pellucor 的演示种子：由 pellucor-service 在本机生成并做种。\n") ||
      !Ensure(content / "数据" / "样例.bin", SampleBytes(1024 * 1024))) {
    if (error) *error = "cannot write the demo files under " + content.string();
    return nullptr;
  }
  std::string why;
  const std::optional<MadeTorrent> made = MakeTorrentOfFiles(
      root.string(), kDemoName, TorrentFormat::kV1, 16 * 1024, &why, "pellucor-service demo");
  if (!made) {
    if (error) *error = "the demo torrent: " + why;
    return nullptr;
  }
  std::unique_ptr<DemoSeed> demo(new DemoSeed);
  demo->bytes_ = made->bytes;
  demo->hash_ = made->v1;
  SeederSettings settings;
  settings.dht = !dhtBootstrap.empty();
  settings.dhtBootstrap = dhtBootstrap;
  demo->seeder_ = Seeder::Start(std::move(settings), &why);
  if (!demo->seeder_ || !demo->seeder_->Add(demo->bytes_, root.string(), &why)) {
    if (error) *error = "the demo seed: " + why;
    return nullptr;
  }
  return demo;
}

std::string DemoSeed::MagnetLink() const {
  return "magnet:?xt=urn:btih:" + hash_ + "&dn=Pellucor%E6%BC%94%E7%A4%BA";
}

}  // namespace pellucor::service
