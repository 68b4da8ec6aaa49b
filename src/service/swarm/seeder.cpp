#include "service/swarm/seeder.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>

#include "base/hex.h"
#include "service/swarm/session_settings.h"

namespace pellucor::service {

std::optional<MadeTorrent> MakeTorrentOfFiles(const std::string& root, const std::string& name,
                                              TorrentFormat format, int pieceSize,
                                              std::string* error, const std::string& creator) {
  lt::file_storage files;
  lt::add_files(files, (std::filesystem::path(root) / name).string());
  if (files.num_files() == 0) {
    if (error) *error = "no files under " + (std::filesystem::path(root) / name).string();
    return std::nullopt;
  }
  const lt::create_flags_t flags = format == TorrentFormat::kV1   ? lt::create_torrent::v1_only
                                   : format == TorrentFormat::kV2 ? lt::create_torrent::v2_only
                                                                  : lt::create_flags_t{};
  lt::create_torrent maker(files, pieceSize, flags);
  if (!creator.empty()) maker.set_creator(creator.c_str());
  lt::error_code ec;
  lt::set_piece_hashes(maker, root, ec);
  if (ec) {
    if (error) *error = "hashing the files of " + name + ": " + ec.message();
    return std::nullopt;
  }
  const std::vector<char> bytes = maker.generate_buf();
  const lt::torrent_info info(lt::span<const char>(bytes), ec, lt::from_span);
  if (ec) {
    if (error) *error = "reading the torrent of " + name + ": " + ec.message();
    return std::nullopt;
  }
  MadeTorrent made;
  made.bytes.assign(bytes.begin(), bytes.end());
  made.infoSection.assign(info.info_section().data(), info.info_section().size());
  const lt::info_hash_t& hashes = info.info_hashes();
  // get_best() is the truncated SHA-256 when there is one.
  made.v1 = HexEncode(hashes.has_v1() ? hashes.v1 : hashes.get_best(), HexCase::Lower);
  if (hashes.has_v2()) made.v2 = HexEncode(hashes.v2, HexCase::Lower);
  return made;
}

struct Seeder::Impl {
  SeederSettings settings;
  std::unique_ptr<lt::session> session;
  std::thread announcer;
  std::mutex mutex;  // the announcer reads what Add() appends; the destructor stops it
  std::condition_variable wake;
  std::vector<lt::torrent_handle> handles;
  bool stopping = false;

  // Announces every torrent on the DHT, on the settings' schedule, until stopping.
  void Announce() {
    std::unique_lock lock(mutex);
    for (int round = 1;; ++round) {
      const bool quick = settings.quickAnnounces == 0 || round <= settings.quickAnnounces;
      if (wake.wait_for(lock, quick ? settings.announceEvery : settings.announceLater,
                        [this] { return stopping; }))
        return;
      for (lt::torrent_handle& handle : handles) handle.force_dht_announce();
    }
  }

  ~Impl() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (announcer.joinable()) announcer.join();
  }
};

Seeder::Seeder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Seeder::~Seeder() = default;

std::unique_ptr<Seeder> Seeder::Start(SeederSettings settings, std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->settings = std::move(settings);
  const SeederSettings& s = impl->settings;
  lt::settings_pack pack = SessionSettings(s.listenInterfaces, s.dht, s.dhtBootstrap);
  pack.set_int(lt::settings_pack::alert_mask, 0);  // nobody reads them
  impl->session = std::make_unique<lt::session>(pack);
  for (int i = 0; i < 500 && impl->session->listen_port() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (impl->session->listen_port() == 0) {
    if (error) *error = "could not listen on " + s.listenInterfaces;
    return nullptr;
  }
  if (s.dht) impl->announcer = std::thread([state = impl.get()] { state->Announce(); });
  return std::unique_ptr<Seeder>(new Seeder(std::move(impl)));
}

bool Seeder::Add(std::string_view torrent, const std::string& directory, std::string* error) {
  lt::error_code ec;
  lt::add_torrent_params params;
  params.ti = std::make_shared<lt::torrent_info>(
      lt::span<const char>(torrent.data(), static_cast<std::ptrdiff_t>(torrent.size())), ec,
      lt::from_span);
  if (ec) {
    if (error) *error = "not a torrent: " + ec.message();
    return false;
  }
  params.save_path = directory;
  params.trackers = impl_->settings.trackers;
  params.flags |= lt::torrent_flags::seed_mode;
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  const lt::torrent_handle handle = impl_->session->add_torrent(std::move(params), ec);
  if (ec) {
    if (error) *error = "seeding a torrent: " + ec.message();
    return false;
  }
  if (impl_->settings.dht) handle.force_dht_announce();
  std::lock_guard lock(impl_->mutex);
  impl_->handles.push_back(handle);
  return true;
}

int Seeder::Port() const {
  return impl_->session->listen_port();
}

std::string Seeder::Peer() const {
  return "127.0.0.1:" + std::to_string(Port());
}

}  // namespace pellucor::service
