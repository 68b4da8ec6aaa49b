#include "service/swarm/fetch_session.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert.hpp>
#include <libtorrent/announce_entry.hpp>
#include <libtorrent/disabled_disk_io.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/info_hash.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/sha1_hash.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "base/host_port.h"
#include "service/core/log.h"
#include "service/swarm/resolver.h"
#include "service/swarm/session_settings.h"

namespace pellucor::service {
namespace {

// libtorrent reports trouble by throwing; each catch says where it was and what was thrown.
void LogException(const char* where, const std::exception& e) {
  Log(LogLevel::kWarn, "resolver_exception", {{"where", where}, {"what", e.what()}});
}

lt::settings_pack FetchPack(const ResolverSettings& settings) {
  lt::settings_pack pack =
      SessionSettings(settings.listenInterfaces, settings.dht, settings.dhtBootstrap);
  pack.set_int(lt::settings_pack::alert_mask,
               lt::alert_category::status | lt::alert_category::error | lt::alert_category::dht |
                   lt::alert_category::peer | lt::alert_category::connect |
                   lt::alert_category::tracker);
  pack.set_int(lt::settings_pack::connections_limit,
               std::min(40 * std::max(settings.maxParallel, 1), 800));
  // A peer that refused a connection is tried again soon, and not given up on after three
  // failures: the configured peers may come up after the fetch started.
  pack.set_int(lt::settings_pack::max_failcount, 10);
  pack.set_int(lt::settings_pack::min_reconnect_time, 2);
  pack.set_int(lt::settings_pack::max_metadata_size, std::max(settings.maxMetadataBytes, 1));
  // A fetch in upload mode has no use for a seed once the metadata is in, and libtorrent would
  // drop it as redundant before asking it for the piece layers of a v2 torrent.
  pack.set_bool(lt::settings_pack::close_redundant_connections, false);
  // libtorrent drains whatever waits in a peer's socket into that peer's buffer: a peer that
  // sends faster than the session reads would grow each of its connections by the kernel's
  // whole receive window (megabytes on a fast link). A fetch takes only messages of about
  // 16 KiB (metadata pieces, piece-layer hashes), so a small window costs it nothing.
  pack.set_int(lt::settings_pack::recv_socket_buffer_size, 128 * 1024);
  return pack;
}

}  // namespace

FetchSession::FetchSession(const ResolverSettings& settings, std::function<void()> alertsWaiting)
    : dht_(settings.dht) {
  for (const std::string& peer : settings.peers)
    for (const lt::tcp::endpoint& endpoint : ResolveEndpoints(peer)) listed_.push_back(endpoint);
  int tier = 0;
  for (const std::vector<std::string>& urls : settings.trackers) {
    if (urls.empty()) continue;
    for (const std::string& url : urls) {
      trackerUrls_.push_back(url);
      trackerTiers_.push_back(tier);
    }
    ++tier;
  }
  std::error_code ec;
  const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  savePath_ = ((ec ? std::filesystem::path("/tmp") : tmp) / "pellucor-resolver").string();

  lt::session_params params(FetchPack(settings));
  // Nothing is ever downloaded but metadata, which does not touch the disk.
  params.disk_io_constructor = lt::disabled_disk_io_constructor;
  watch_ = std::make_shared<MetadataWatch>(std::max(settings.maxMetadataBytes, 1));
  params.extensions.insert(params.extensions.begin(), watch_);
  if (dht_ && !settings.dhtState.empty()) {
    try {
      lt::session_params saved = lt::read_session_params(
          lt::span<const char>(settings.dhtState.data(),
                               static_cast<std::ptrdiff_t>(settings.dhtState.size())),
          lt::session::save_dht_state);
      params.dht_state = std::move(saved.dht_state);
    } catch (const std::exception& e) {
      // A damaged state file: start cold.
      LogException("reading the saved DHT state", e);
    }
  }
  try {
    session_ = std::make_unique<lt::session>(std::move(params));
    session_->set_alert_notify(std::move(alertsWaiting));
    if (dht_) session_->post_dht_stats();
  } catch (const std::exception& e) {
    // Without a session every fetch fails (see Add).
    Log(LogLevel::kError, "session_failed",
        {{"listen", settings.listenInterfaces}, {"what", e.what()}});
    session_.reset();
  }
}

FetchSession::~FetchSession() {
  if (session_) session_->set_alert_notify([] {});
}

int FetchSession::ListenPort() const {
  if (!session_) return 0;
  try {
    return session_->listen_port();
  } catch (const std::exception& e) {
    LogException("reading the listen port", e);
    return 0;
  }
}

std::string FetchSession::DhtState() const {
  if (!session_ || !dht_) return {};
  try {
    const lt::session_params state = session_->session_state(lt::session::save_dht_state);
    const std::vector<char> bytes =
        lt::write_session_params_buf(state, lt::session::save_dht_state);
    return std::string(bytes.begin(), bytes.end());
  } catch (const std::exception& e) {
    LogException("saving the DHT state", e);
    return {};
  }
}

FetchSession::Sources FetchSession::Read(const FetchSources& sources) {
  Sources read;
  read.trackers = sources.trackers;
  for (const std::string& peer : sources.peers) {
    const std::optional<HostPort> hostPort = ParseHostPort(peer);
    if (!hostPort) continue;
    boost::system::error_code ec;
    const boost::asio::ip::address address = boost::asio::ip::make_address(hostPort->host, ec);
    if (ec || hostPort->bracketed != address.is_v6()) continue;
    read.peers.emplace_back(address, static_cast<unsigned short>(hostPort->port));
  }
  return read;
}

void FetchSession::Merge(Sources& into, const Sources& more, Sources* added) {
  for (const lt::tcp::endpoint& peer : more.peers) {
    if (std::find(into.peers.begin(), into.peers.end(), peer) != into.peers.end()) continue;
    into.peers.push_back(peer);
    if (added) added->peers.push_back(peer);
  }
  for (const std::string& url : more.trackers) {
    if (std::find(into.trackers.begin(), into.trackers.end(), url) != into.trackers.end()) continue;
    into.trackers.push_back(url);
    if (added) added->trackers.push_back(url);
  }
}

void FetchSession::Fill(lt::add_torrent_params& params, const Sources& sources) const {
  // Listed peers go in with the torrent (libtorrent marks them resume_data).
  params.peers = listed_;
  params.peers.insert(params.peers.end(), sources.peers.begin(), sources.peers.end());
  params.trackers = trackerUrls_;
  params.tracker_tiers = trackerTiers_;
  // Each of a link's trackers is a tier of its own, after the session's.
  int tier = trackerTiers_.empty() ? 0 : trackerTiers_.back() + 1;
  for (const std::string& url : sources.trackers) {
    params.trackers.push_back(url);
    params.tracker_tiers.push_back(tier++);
  }
}

std::optional<FetchSession::Torrent> FetchSession::Add(const InfoHash& hash, const Sources& sources,
                                                       std::function<void()> changed) {
  if (!session_) return std::nullopt;
  Torrent torrent;
  torrent.watch = watch_->Expect(hash.Bytes(), std::move(changed));
  lt::add_torrent_params params;
  params.info_hashes = hash.IsV2() ? lt::info_hash_t(lt::sha256_hash(hash.Bytes().data()))
                                   : lt::info_hash_t(lt::sha1_hash(hash.Bytes().data()));
  params.save_path = savePath_;
  params.max_connections = 40;
  Fill(params, sources);
  params.userdata = MetadataWatch::Token(torrent.watch.get());
  params.flags |= lt::torrent_flags::upload_mode;
  // Left set, these keep the torrent stopped (or at the queue's mercy) and nothing happens.
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  lt::error_code ec;
  try {
    torrent.handle = session_->add_torrent(std::move(params), ec);
  } catch (const std::exception& e) {
    LogException("adding a torrent", e);
    torrent.handle = lt::torrent_handle();
  }
  if (ec)
    Log(LogLevel::kWarn, "add_torrent_failed", {{"hash", hash.Hex()}, {"error", ec.message()}});
  if (ec || !torrent.handle.is_valid()) return std::nullopt;
  return torrent;
}

void FetchSession::Remove(const lt::torrent_handle& handle) {
  if (!session_) return;
  try {
    session_->remove_torrent(handle, lt::session::delete_files);
  } catch (const std::exception& e) {
    LogException("removing a torrent", e);
  }
}

// Listed peers are dialled without libtorrent's default flags: they mark the peer as one that
// speaks uTP, each time, and a peer that only takes TCP would then never be reached.
void FetchSession::AskForPeers(const lt::torrent_handle& handle, bool again,
                               const Sources& sources) {
  try {
    if (again) {
      for (const lt::tcp::endpoint& peer : listed_)
        handle.connect_peer(peer, lt::peer_info::resume_data, lt::pex_flags_t{});
      for (const lt::tcp::endpoint& peer : sources.peers)
        handle.connect_peer(peer, lt::peer_info::resume_data, lt::pex_flags_t{});
    }
    // The DHT announce libtorrent makes itself for a new torrent can come much later.
    if (dht_ && dhtNodes_ > 0) handle.force_dht_announce();
    if (again && (!trackerUrls_.empty() || !sources.trackers.empty()))
      handle.force_reannounce(0, -1, lt::torrent_handle::ignore_min_interval);
  } catch (const std::exception& e) {
    // The torrent is gone; its fetch ends with the timeout.
    LogException("asking for peers", e);
  }
}

void FetchSession::AddSources(const lt::torrent_handle& handle, const Sources& added) {
  try {
    for (const std::string& url : added.trackers) {
      lt::announce_entry entry(url);
      entry.tier = 255;  // after every tier the torrent has
      handle.add_tracker(entry);
    }
    for (const lt::tcp::endpoint& peer : added.peers)
      handle.connect_peer(peer, lt::peer_info::resume_data, lt::pex_flags_t{});
    if (!added.trackers.empty())
      handle.force_reannounce(0, -1, lt::torrent_handle::ignore_min_interval);
  } catch (const std::exception& e) {
    LogException("adding sources", e);
  }
}

int FetchSession::PeerListSize(const lt::torrent_handle& handle) const {
  try {
    return handle.status({}).list_peers;
  } catch (const std::exception& e) {
    LogException("counting peers", e);
    return 0;
  }
}

std::optional<std::string> FetchSession::InfoSection(const lt::torrent_handle& handle) const {
  std::shared_ptr<const lt::torrent_info> info;
  try {
    info = handle.torrent_file();
  } catch (const std::exception& e) {
    LogException("reading the metadata", e);
  }
  if (!info) return std::nullopt;
  const lt::span<const char> section = info->info_section();
  return std::string(section.data(), static_cast<std::size_t>(section.size()));
}

std::optional<FetchSession::Torrent> FetchSession::AddKnown(const std::string& info,
                                                            const Sources& sources) {
  if (!session_) return std::nullopt;
  const std::string torrent = "d4:info" + info + "e";
  lt::error_code ec;
  const lt::torrent_info parsed(
      lt::span<const char>(torrent.data(), static_cast<std::ptrdiff_t>(torrent.size())), ec,
      lt::from_span);
  if (ec) return std::nullopt;
  // By its hashes, not with its metadata: a torrent added with its metadata in upload mode
  // asks nobody for layers, while one that receives it again (from the peer that just sent it,
  // in a moment) does.
  lt::add_torrent_params params;
  params.info_hashes = parsed.info_hashes();
  params.save_path = savePath_;
  params.max_connections = 40;
  Fill(params, sources);
  params.flags |= lt::torrent_flags::upload_mode;
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  Torrent added;
  try {
    added.handle = session_->add_torrent(std::move(params), ec);
  } catch (const std::exception& e) {
    LogException("adding a torrent again", e);
    return std::nullopt;
  }
  if (ec || !added.handle.is_valid()) return std::nullopt;
  return added;
}

bool FetchSession::NeedsPieceLayers(const std::string& info) {
  const std::string torrent = "d4:info" + info + "e";
  lt::error_code ec;
  const lt::torrent_info parsed(
      lt::span<const char>(torrent.data(), static_cast<std::ptrdiff_t>(torrent.size())), ec,
      lt::from_span);
  if (ec || !parsed.v2()) return false;
  const lt::file_storage& files = parsed.files();
  for (const lt::file_index_t i : files.file_range())
    if (!files.pad_file_at(i) && files.file_size(i) > files.piece_length()) return true;
  return false;
}

std::optional<std::map<std::string, std::string>> FetchSession::PieceLayers(
    const lt::torrent_handle& handle) const {
  std::shared_ptr<const lt::torrent_info> info;
  try {
    info = handle.torrent_file_with_hashes();  // null while a layer is known only in part
  } catch (const std::exception& e) {
    LogException("reading the piece layers", e);
  }
  if (!info) return std::nullopt;
  std::map<std::string, std::string> layers;
  const lt::file_storage& files = info->files();
  for (const lt::file_index_t i : files.file_range()) {
    if (files.pad_file_at(i) || files.file_size(i) <= files.piece_length()) continue;
    const lt::span<const char> layer = info->piece_layer(i);
    if (layer.empty()) return std::nullopt;
    const lt::sha256_hash root = files.root(i);
    layers.emplace(std::string(root.data(), root.size()),
                   std::string(layer.data(), static_cast<size_t>(layer.size())));
  }
  return layers;
}

bool FetchSession::IsSelf(const lt::tcp::endpoint& endpoint) const {
  if (listenPort_ == 0 && session_) listenPort_ = session_->listen_port();
  return endpoint.port() == listenPort_ && IsClosedAddress(endpoint.address());
}

void FetchSession::CountDhtNodes() {
  if (session_ && dht_) session_->post_dht_stats();
}

std::vector<lt::alert*> FetchSession::PopAlerts() {
  std::vector<lt::alert*> alerts;
  if (session_) session_->pop_alerts(&alerts);
  return alerts;
}

}  // namespace pellucor::service
