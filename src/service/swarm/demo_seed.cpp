#include "service/swarm/demo_seed.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/hex.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include "service/swarm/resolver.h"

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

struct DemoSeed::Impl {
  std::unique_ptr<lt::session> session;
  lt::torrent_handle handle;
  std::string bytes, hash, name;
  // Re-announces on the DHT until the seed stops.
  std::thread announcer;
  std::mutex mutex;
  std::condition_variable stop;
  bool stopping = false;
};

DemoSeed::DemoSeed(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DemoSeed::~DemoSeed() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stop.notify_all();
  if (impl_->announcer.joinable()) impl_->announcer.join();
}

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
  lt::file_storage files;
  lt::add_files(files, content.string());
  lt::create_torrent creator(files, 16 * 1024, lt::create_torrent::v1_only);
  creator.set_creator("pellucor-service demo");
  lt::error_code ec;
  lt::set_piece_hashes(creator, root.string(), ec);
  if (ec) {
    if (error) *error = "hashing the demo files: " + ec.message();
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  const std::vector<char> buffer = creator.generate_buf();
  impl->bytes.assign(buffer.begin(), buffer.end());
  auto info = std::make_shared<lt::torrent_info>(lt::span<const char>(buffer), ec, lt::from_span);
  if (ec) {
    if (error) *error = "reading the demo torrent: " + ec.message();
    return nullptr;
  }
  impl->hash = lt::aux::to_hex(info->info_hashes().v1);
  impl->name = info->name();

  const lt::settings_pack pack =
      SessionSettings("127.0.0.1:0", !dhtBootstrap.empty(), dhtBootstrap);
  impl->session = std::make_unique<lt::session>(pack);
  lt::add_torrent_params params;
  params.ti = info;
  params.save_path = root.string();
  params.flags |= lt::torrent_flags::seed_mode;
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  impl->handle = impl->session->add_torrent(std::move(params), ec);
  if (ec) {
    if (error) *error = "seeding the demo torrent: " + ec.message();
    return nullptr;
  }
  for (int i = 0; i < 100 && impl->session->listen_port() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (impl->session->listen_port() == 0) {
    if (error) *error = "the demo seed could not listen on 127.0.0.1";
    return nullptr;
  }
  if (!dhtBootstrap.empty()) {
    Impl* state = impl.get();
    impl->announcer = std::thread([state] {
      std::unique_lock lock(state->mutex);
      while (
          !state->stop.wait_for(lock, std::chrono::seconds(1), [state] { return state->stopping; }))
        state->handle.force_dht_announce();
    });
  }
  return std::unique_ptr<DemoSeed>(new DemoSeed(std::move(impl)));
}

std::string DemoSeed::InfoHash() const {
  return impl_->hash;
}

std::string DemoSeed::MagnetLink() const {
  return "magnet:?xt=urn:btih:" + impl_->hash + "&dn=Pellucor%E6%BC%94%E7%A4%BA";
}

std::string DemoSeed::Peer() const {
  return "127.0.0.1:" + std::to_string(impl_->session->listen_port());
}

const std::string& DemoSeed::TorrentBytes() const {
  return impl_->bytes;
}

}  // namespace pellucor::service
