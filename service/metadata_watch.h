// A libtorrent session plugin that watches the metadata exchange (BEP 9) of the resolver's
// torrents beside libtorrent's own ut_metadata plugin: which peers offer the metadata, whether
// an offer is over the size cap, and the info dictionary itself once every piece came.
//
// libtorrent checks received metadata only against the hash the torrent was added with, read as
// a SHA-1 hash when it has 40 hex digits. A v2 torrent looked up by its truncated SHA-256 (the
// 40-hex form peers use on the wire) would always fail that check; the watch accepts an info
// dictionary whose SHA-1 or whose SHA-256 begins with the 20 bytes looked for.
//
// The plugin must come before libtorrent's ut_metadata plugin in the session's plugin list,
// since that one keeps the messages it handles from the plugins after it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <libtorrent/extensions.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/socket.hpp>

namespace pellucor::service {

class MetadataWatch final : public libtorrent::plugin {
 public:
  struct Snapshot {
    std::optional<std::string> info;  // complete, and hashing to what was looked for
    libtorrent::tcp::endpoint from;   // the peer that sent its last piece
    // How that peer was found, as libtorrent recorded it when the peer connected (it may forget
    // by the time the metadata is complete).
    libtorrent::peer_source_flags_t fromSource{};
    bool tooLarge = false;  // a peer offered or sent metadata over the cap
    bool bad = false;       // complete metadata hashed to something else
    int offering = 0;       // connected peers that offered the metadata
  };

  // One watched torrent, shared by the resolver's fetch and the torrent's plugin.
  class Watch;

  explicit MetadataWatch(int maxBytes) : maxBytes_(maxBytes) {}

  // A watch for a torrent about to be added for `hash`: 20 bytes (SHA-1 or truncated SHA-256)
  // or 32 (SHA-256). `changed` runs on libtorrent's thread whenever the snapshot changed. Pass
  // Token(watch) as the add_torrent_params' userdata, and keep the watch until add_torrent
  // returned (the torrent's plugin takes its own reference while the torrent is added).
  std::shared_ptr<Watch> Expect(std::string hash, std::function<void()> changed);
  static libtorrent::client_data_t Token(Watch* watch);
  static Snapshot Read(Watch& watch);

  std::shared_ptr<libtorrent::torrent_plugin> new_torrent(const libtorrent::torrent_handle&,
                                                          libtorrent::client_data_t) override;

 private:
  const int maxBytes_;
};

}  // namespace pellucor::service
