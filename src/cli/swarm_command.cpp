#include "cli/swarm_command.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/torrent_info.hpp>

#include "base/codepage.h"
#include "base/env.h"
#include "convert/routes.h"
#include "service/core/log.h"
#include "service/core/outcome.h"
#include "service/swarm/dht_state_file.h"
#include "service/swarm/fetch_session.h"
#include "service/swarm/resolver.h"
#include "service/swarm/session_settings.h"
#include "service/swarm/tracker_list.h"
#include "torrent/info_hash.h"
#include "torrent/magnet_link.h"
#include "torrent/shown_name.h"
#include "torrent/torrent_check.h"

namespace pellucor {

const bool kSwarmBuilt = true;

namespace {

using Clock = std::chrono::steady_clock;
using service::Outcome;

GbkText FromUtf8(std::string_view utf8) {
  return GbkText(Utf8ToGbk(utf8));
}

// A magnet link, or a bare hash: 40 or 64 hex digits, or 32 characters of base 32.
std::optional<MagnetLink> ReadLink(const GbkText& text) {
  const std::string utf8 = GbkToUtf8(TrimBoth(text).view());
  if (std::optional<MagnetLink> link = ReadMagnetLink(utf8)) return link;
  const std::optional<InfoHash> hash = InfoHash::FromText(utf8);
  if (!hash) return std::nullopt;
  MagnetLink bare;
  (hash->IsV2() ? bare.v2 : bare.v1) = *hash;
  return bare;
}

// Whether every address of `hostPorts` is a loopback one (and there is one).
bool AllLoopback(const std::vector<std::string>& hostPorts) {
  return service::EveryAddress(
      hostPorts, [](const boost::asio::ip::address& address) { return address.is_loopback(); });
}

// Where the session listens: on loopback alone when everything it was told of is there (a
// swarm for tests and demonstrations), else on every interface, on a port the system picks.
std::string ListenInterfaces(const SwarmOptions& swarm) {
  const bool closed = swarm.dht ? AllLoopback(swarm.dhtBootstrap) &&
                                      (swarm.peers.empty() || AllLoopback(swarm.peers))
                                : AllLoopback(swarm.peers);
  return closed ? "127.0.0.1:0" : "0.0.0.0:0,[::]:0";
}

GbkText StatePath(const SwarmOptions& swarm) {
  if (!swarm.dhtStateFile.empty()) return swarm.dhtStateFile;
  const GbkText cache = UserCacheDirectory();
  return cache.empty() ? GbkText() : ConcatText(cache, kPathSeparator, "dht-state");
}

// Whether the torrent carries the piece layers its info dictionary needs: nothing for one that
// needs none (v1, or v2 files of one piece).
std::optional<bool> PieceLayersState(const std::string& torrent, std::string_view info) {
  if (!service::FetchSession::NeedsPieceLayers(std::string(info))) return std::nullopt;
  lt::error_code ec;
  const lt::bdecode_node root =
      lt::bdecode(lt::span<const char>(torrent.data(), static_cast<long>(torrent.size())), ec);
  return !ec && root.dict_find_dict("piece layers");
}

// The torrent's own name as the service's pages show it and its route names the file:
// "name.utf-8" first, a legacy code-page name read right (libtorrent would make each of its
// bytes "_"); libtorrent's own reading (the info hash) for a name that cleans away to nothing.
std::string TorrentName(const std::string& torrent) {
  lt::error_code ec;
  const lt::torrent_info parsed(
      lt::span<const char>(torrent.data(), static_cast<std::ptrdiff_t>(torrent.size())), ec,
      lt::from_span);
  if (ec) return std::string();
  const lt::bdecode_node root =
      lt::bdecode(lt::span<const char>(torrent.data(), static_cast<long>(torrent.size())), ec);
  const lt::bdecode_node info = ec ? lt::bdecode_node() : root.dict_find_dict("info");
  lt::bdecode_node name = info.dict_find_string("name.utf-8");
  if (!name) name = info.dict_find_string("name");
  if (!name) return parsed.name();
  const lt::string_view raw = name.string_value();
  return ShownNameComponent(std::string_view(raw.data(), raw.size())).value_or(parsed.name());
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// What one lookup came to: the line and the file.
LinkResult Result(const ConvertOptions& options, const MagnetLink& link,
                  const service::FetchResult& fetched, GbkText* log) {
  LinkResult r;
  r.hash = FromUtf8(link.Hash().Hex());
  Outcome outcome = fetched.report.outcome;
  const std::optional<std::string_view> info =
      fetched.torrent ? TorrentInfoBytes(*fetched.torrent) : std::nullopt;
  // The resolver checks the metadata against the hash it looked up; a hybrid link names two.
  const bool proven =
      info && (!link.v1 || link.v1->Matches(*info)) && (!link.v2 || link.v2->Matches(*info));
  if (fetched.torrent && !proven) outcome = Outcome::kBadMetadata;
  const service::LookupReport& report = fetched.report;
  std::string line = link.Hash().Hex() + ": " + service::OutcomePhrase(outcome) + " (DHT nodes " +
                     std::to_string(report.dhtNodes) + ", peers seen " +
                     std::to_string(report.peersSeen) + ", tried " +
                     std::to_string(report.peersTried) + ", " + Seconds(report.seconds) + " s)";
  if (!service::IsFound(outcome)) {
    r.outcome = service::OutcomeCode(outcome);
    r.message = service::OutcomePhrase(outcome);
    *log = ConcatText(FromUtf8(line), "\n");
    return r;
  }
  const ByteBuffer bytes(*fetched.torrent);
  const GbkText base = SafeFileName(FromUtf8(TorrentName(*fetched.torrent)));
  const std::optional<GbkText> name =
      SaveTorrentFile(options.directory, {base, SafeFileName(r.hash)}, bytes, SameFile::kSameInfo);
  if (!name) {
    r.outcome = "failed";
    r.message = ConcatText("cannot save in ", options.directory);
    *log = ConcatText(FromUtf8(line), "\n");
    return r;
  }
  r.saved = true;
  r.outcome = "saved";
  r.message = service::OutcomePhrase(outcome);
  r.file = options.directoryGiven ? ConcatText(options.directory, kPathSeparator, *name) : *name;
  r.bytes = static_cast<int32_t>(fetched.torrent->size());
  r.pieceLayers = PieceLayersState(*fetched.torrent, *info);
  if (r.pieceLayers == false) line += ", without piece layers";
  *log = ConcatText(FromUtf8(line), "\n");
  return r;
}

}  // namespace

int ConvertFromSwarm(const ConvertOptions& options) {
  const SwarmOptions& swarm = options.swarm;
  Reporter reporter(options.json, {}, options.links.size());
  // The swarm code's own log: its errors, between the converter's lines.
  service::SetLogLevel(service::LogLevel::kError);
  service::SetLogSink([&reporter](const std::string& line) {
    reporter.Log(ConcatText(kConvertProgram, ": ", FromUtf8(line), "\n"));
  });

  service::ResolverSettings settings;
  settings.dht = swarm.dht;
  settings.dhtBootstrap =
      swarm.dhtBootstrap.empty() ? service::kPublicDhtRouters : swarm.dhtBootstrap;
  settings.peers = swarm.peers;
  if (!swarm.trackersFile.empty()) {
    const std::optional<ByteBuffer> list = ReadBytesFromFile(swarm.trackersFile);
    if (!list) {
      WriteText(StandardStream::Error,
                ConcatText(kConvertProgram, ": cannot read ", swarm.trackersFile, "\n"));
      return kExitUsage;
    }
    settings.trackers = service::ParseTrackerList(list->view());
  }
  settings.timeoutSeconds = swarm.timeoutSeconds;
  settings.maxParallel = options.jobs;
  settings.waitingCounts = false;  // every link gets the whole --timeout, however long it waited
  settings.listenInterfaces = ListenInterfaces(swarm);
  // The user's own links: a peer or tracker on their own network is theirs to ask.
  settings.closedSourcesAllowed = true;

  boost::asio::io_context io;
  std::unique_ptr<service::DhtStateFile> state;
  const GbkText statePath = StatePath(swarm);
  if (swarm.dht && !statePath.empty()) {
    state = std::make_unique<service::DhtStateFile>(io, GbkToUtf8(statePath.view()));
    settings.dhtState = state->Read();
  }
  service::Resolver resolver(io, settings);
  if (!resolver.Running())
    reporter.Log(ConcatText(kConvertProgram, ": cannot start a BitTorrent session on ",
                            GbkText(settings.listenInterfaces), "\n"));
  if (state) state->SaveRegularly([&resolver] { return resolver.DhtState(); });

  auto work = boost::asio::make_work_guard(io);
  size_t pending = 0;
  boost::asio::steady_timer progress(io);
  std::function<void()> tick = [&] {
    reporter.SetStatus(ConcatText("DHT nodes ", IntegerToText(resolver.DhtNodes()), ", peers ",
                                  IntegerToText(resolver.PeersSeen())));
    progress.expires_after(std::chrono::milliseconds(500));
    progress.async_wait([&](const boost::system::error_code& error) {
      if (!error) tick();
    });
  };
  auto finished = [&](const LinkResult& r, const GbkText& log) {
    reporter.Finished(r, log);
    if (--pending == 0) {
      // The resolver and the state file keep timers of their own: the run ends here.
      progress.cancel();
      if (state) state->Stop();  // saves the routing table
      io.stop();
    }
  };

  for (size_t i = 0; i < options.links.size(); ++i) {
    const std::optional<MagnetLink> link = ReadLink(options.links[i]);
    ++pending;
    if (!link || !resolver.Running()) {
      LinkResult r;
      r.hash = link ? FromUtf8(link->Hash().Hex()) : DisplayHash(options.links[i]);
      r.input = options.inputs[i];
      r.outcome = link ? "failed" : "bad_link";
      r.message = link ? "no BitTorrent session" : "not a magnet link or an info hash";
      boost::asio::post(io, [&finished, r] { finished(r, {}); });
      continue;
    }
    const Clock::time_point start = Clock::now();
    resolver.Fetch(link->Hash().Hex(), service::FetchSources{link->trackers, link->peers},
                   [&, i, link = *link, start](service::FetchResult fetched) {
                     GbkText log;
                     LinkResult r = Result(options, link, fetched, &log);
                     r.input = options.inputs[i];
                     r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
                     finished(r, log);
                   });
  }
  if (pending > 0) tick();
  io.run();
  service::SetLogSink(nullptr);
  return reporter.Summary();
}

}  // namespace pellucor
