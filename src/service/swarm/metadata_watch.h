// A libtorrent session plugin that watches the metadata exchange (BEP 9) of the resolver's
// torrents beside libtorrent's own ut_metadata plugin, for what libtorrent does not tell: which
// connected peers offer the metadata (a lookup that ends while one still does has timed out
// rather than found nobody willing), an offer or a piece over the size cap (libtorrent drops
// those without a word), complete metadata that hashes to something else, and which peer sent
// the metadata and how it had been found. It also keeps the info dictionary once every piece
// came (only pieces of the size the sending peer offered, each kept as it comes) and it hashes
// to what was looked for: its SHA-1, its SHA-256, or for 20 bytes the
// truncated SHA-256 (a v2 torrent looked up by the 40-hex form peers use on the wire).
//
// The plugin must come before libtorrent's ut_metadata plugin in the session's plugin list,
// since that one keeps the messages it handles from the plugins after it.
//
// The plugin runs on libtorrent's network thread; Read() is called on the resolver's io thread.
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

  // Metadata being put together, all fetches together, is bounded: each fetch takes room for
  // twice its metadata's size (libtorrent's buffer and the watch's pieces) when its first
  // piece comes, and gives it back when it ends. A piece whose fetch finds no room is kept from
  // libtorrent too (it asks again later), so a hostile peer cannot make every fetch allocate
  // the largest size it may offer.
  static size_t MetadataBudget(int maxBytes) {
    return 2 * static_cast<size_t>(maxBytes) + (4u << 20);
  }

  explicit MetadataWatch(int maxBytes);

  // A watch for a torrent about to be added for `hash`: 20 bytes (SHA-1 or truncated SHA-256)
  // or 32 (SHA-256). `changed` runs on libtorrent's thread whenever the snapshot changed. Pass
  // Token(watch) as the add_torrent_params' userdata, and keep the watch until add_torrent
  // returned (the torrent's plugin takes its own reference while the torrent is added).
  std::shared_ptr<Watch> Expect(std::string hash, std::function<void()> changed);
  static libtorrent::client_data_t Token(Watch* watch);
  static Snapshot Read(Watch& watch);

  std::shared_ptr<libtorrent::torrent_plugin> new_torrent(const libtorrent::torrent_handle&,
                                                          libtorrent::client_data_t) override;

  // The room metadata being put together holds now, in bytes (for tests).
  size_t HeldBytes() const;

  struct Budget;

 private:
  const int maxBytes_;
  std::shared_ptr<Budget> budget_;
};

}  // namespace pellucor::service
