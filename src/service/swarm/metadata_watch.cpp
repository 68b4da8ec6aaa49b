#include "service/swarm/metadata_watch.h"

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include <libtorrent/bdecode.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/peer_connection_handle.hpp>
#include <libtorrent/sha1_hash.hpp>

namespace pellucor::service {
namespace {

namespace lt = libtorrent;

// The message number libtorrent's ut_metadata plugin gives its extension in our handshake:
// peers send metadata messages to us under it.
constexpr int kUtMetadataMessage = 2;
constexpr int kPieceBytes = 16 * 1024;
constexpr int kPieceMessage = 1;  // BEP 9 msg_type "data"
}  // namespace

// Shared by every watch: libtorrent's thread takes and gives room, a test reads it.
struct MetadataWatch::Budget {
  std::mutex mutex;
  size_t held = 0;
  size_t limit = 0;
};

class MetadataWatch::Watch : public std::enable_shared_from_this<Watch> {
 public:
  Watch(std::string hash, int maxBytes, std::shared_ptr<Budget> budget,
        std::function<void()> changed)
      : hash_(std::move(hash)),
        maxBytes_(maxBytes),
        budget_(std::move(budget)),
        changed_(std::move(changed)) {}
  ~Watch() {
    std::lock_guard lock(budget_->mutex);
    budget_->held -= reserved_;
  }

  Snapshot Read() {
    std::lock_guard lock(mutex_);
    return snapshot_;
  }

  // A peer's extension handshake; true when it offers the metadata (and is counted).
  bool Offered(const lt::bdecode_node& handshake) {
    if (handshake.type() != lt::bdecode_node::dict_t) return false;
    const lt::bdecode_node messages = handshake.dict_find_dict("m");
    if (!messages || messages.dict_find_int_value("ut_metadata", 0) <= 0) return false;
    const std::int64_t size = handshake.dict_find_int_value("metadata_size", 0);
    if (size <= 0) return false;
    {
      std::lock_guard lock(mutex_);
      if (size > maxBytes_) {
        snapshot_.tooLarge = true;
      } else {
        ++snapshot_.offering;
      }
    }
    Changed();
    return size <= maxBytes_;
  }

  void Gone() {
    {
      std::lock_guard lock(mutex_);
      --snapshot_.offering;
    }
    Changed();
  }

  // One whole metadata message from `from`, who offered `offered` bytes of metadata (0: no
  // offer): a dictionary, and for a data message the piece. True when libtorrent must not see
  // it: a piece of another size than its sender offered, or one whose fetch finds no room.
  bool Message(lt::span<const char> body, const lt::tcp::endpoint& from,
               lt::peer_source_flags_t source, std::int64_t offered) {
    lt::error_code ec;
    const lt::bdecode_node message = lt::bdecode(body, ec);
    if (ec || message.type() != lt::bdecode_node::dict_t) return false;
    if (message.dict_find_int_value("msg_type", -1) != kPieceMessage) return false;
    const std::int64_t piece = message.dict_find_int_value("piece", -1);
    const std::int64_t total = message.dict_find_int_value("total_size", 0);
    const lt::span<const char> data = body.subspan(message.data_section().size());
    bool notify = false, keepAway = false;
    {
      std::lock_guard lock(mutex_);
      if (snapshot_.info) return false;
      if (total > maxBytes_) {
        notify = !snapshot_.tooLarge;
        snapshot_.tooLarge = true;
        keepAway = true;
      } else if (total <= 0 || total != offered || !Room(total)) {
        keepAway = true;
      } else {
        notify = Add(total, piece, data, from, source);
      }
    }
    if (notify) Changed();
    return keepAway;
  }

 private:
  // Room for metadata of `total` bytes, taken once for the fetch; with the mutex held.
  bool Room(std::int64_t total) {
    if (size_ != 0) return total == size_;
    const size_t need = 2 * static_cast<size_t>(total);
    std::lock_guard lock(budget_->mutex);
    if (budget_->held + need > budget_->limit) return false;
    budget_->held += need;
    reserved_ = need;
    size_ = total;
    return true;
  }

  // Called with the mutex held; true when the snapshot changed.
  bool Add(std::int64_t total, std::int64_t piece, lt::span<const char> data,
           const lt::tcp::endpoint& from, lt::peer_source_flags_t source) {
    const std::int64_t pieces = (total + kPieceBytes - 1) / kPieceBytes;
    if (piece < 0 || piece >= pieces || pieces_.count(piece)) return false;
    const std::int64_t expected = std::min<std::int64_t>(kPieceBytes, total - piece * kPieceBytes);
    if (static_cast<std::int64_t>(data.size()) != expected) return false;
    pieces_.emplace(piece, std::string(data.data(), static_cast<size_t>(data.size())));
    if (static_cast<std::int64_t>(pieces_.size()) < pieces) return false;
    // Hashed piece by piece, and put together only when it is what was looked for: metadata
    // that is not costs no second copy.
    if (Matches()) {
      std::string bytes;
      bytes.reserve(static_cast<size_t>(total));
      for (const auto& [index, part] : pieces_) bytes += part;
      snapshot_.info = std::move(bytes);
      snapshot_.from = from;
      snapshot_.fromSource = source;
    } else {
      snapshot_.bad = true;
    }
    pieces_.clear();
    return true;
  }

  bool Matches() const {
    lt::hasher sha1;
    lt::hasher256 sha256;
    for (const auto& [index, part] : pieces_) {
      const lt::span<const char> span(part.data(), static_cast<std::ptrdiff_t>(part.size()));
      sha1.update(span);
      sha256.update(span);
    }
    const lt::sha256_hash v2 = sha256.final();
    if (hash_.size() == static_cast<std::size_t>(lt::sha256_hash::size()))
      return std::memcmp(v2.data(), hash_.data(), hash_.size()) == 0;
    if (hash_.size() != static_cast<std::size_t>(lt::sha1_hash::size())) return false;
    const lt::sha1_hash v1 = sha1.final();
    return std::memcmp(v1.data(), hash_.data(), hash_.size()) == 0 ||
           std::memcmp(v2.data(), hash_.data(), hash_.size()) == 0;
  }

  void Changed() {
    if (changed_) changed_();
  }

  const std::string hash_;
  const int maxBytes_;
  const std::shared_ptr<Budget> budget_;
  const std::function<void()> changed_;
  std::mutex mutex_;  // libtorrent's thread writes the snapshot, the io thread reads it
  Snapshot snapshot_;
  std::int64_t size_ = 0;  // the metadata's size, once its first piece was taken
  size_t reserved_ = 0;    // the room taken from the budget
  std::map<std::int64_t, std::string> pieces_;
};

namespace {

class PeerWatch final : public lt::peer_plugin {
 public:
  PeerWatch(std::shared_ptr<MetadataWatch::Watch> watch, const lt::peer_connection_handle& peer)
      : watch_(std::move(watch)), peer_(peer), remote_(peer.remote()) {}
  ~PeerWatch() override { Leave(); }

  bool on_extension_handshake(const lt::bdecode_node& handshake) override {
    if (handshake.type() == lt::bdecode_node::dict_t)
      offered_ = handshake.dict_find_int_value("metadata_size", 0);
    if (!offering_) offering_ = watch_->Offered(handshake);
    lt::peer_info info;
    peer_.get_peer_info(info);
    source_ = info.source;
    return true;
  }

  bool on_extended(int length, int message, lt::span<const char> body) override {
    // Called again as more of a message arrives; only the whole message is read. true keeps
    // it from libtorrent's own plugin, which otherwise handles it as well.
    if (message == kUtMetadataMessage && body.size() == length)
      return watch_->Message(body, remote_, source_, offered_);
    return false;
  }

  void on_disconnect(const lt::error_code&) override { Leave(); }

 private:
  void Leave() {
    if (offering_) watch_->Gone();
    offering_ = false;
  }

  std::shared_ptr<MetadataWatch::Watch> watch_;
  lt::peer_connection_handle peer_;
  lt::tcp::endpoint remote_;
  lt::peer_source_flags_t source_{};
  std::int64_t offered_ = 0;  // the metadata_size of its handshake
  bool offering_ = false;
};

class TorrentWatch final : public lt::torrent_plugin {
 public:
  explicit TorrentWatch(std::shared_ptr<MetadataWatch::Watch> watch) : watch_(std::move(watch)) {}

  std::shared_ptr<lt::peer_plugin> new_connection(const lt::peer_connection_handle& peer) override {
    if (peer.type() != lt::connection_type::bittorrent) return {};
    return std::make_shared<PeerWatch>(watch_, peer);
  }

 private:
  std::shared_ptr<MetadataWatch::Watch> watch_;
};

}  // namespace

MetadataWatch::MetadataWatch(int maxBytes)
    : maxBytes_(maxBytes), budget_(std::make_shared<Budget>()) {
  budget_->limit = MetadataBudget(maxBytes);
}

size_t MetadataWatch::HeldBytes() const {
  std::lock_guard lock(budget_->mutex);
  return budget_->held;
}

std::shared_ptr<MetadataWatch::Watch> MetadataWatch::Expect(std::string hash,
                                                            std::function<void()> changed) {
  return std::make_shared<Watch>(std::move(hash), maxBytes_, budget_, std::move(changed));
}

lt::client_data_t MetadataWatch::Token(Watch* watch) {
  return lt::client_data_t(watch);
}

MetadataWatch::Snapshot MetadataWatch::Read(Watch& watch) {
  return watch.Read();
}

std::shared_ptr<lt::torrent_plugin> MetadataWatch::new_torrent(const lt::torrent_handle&,
                                                               lt::client_data_t data) {
  // The resolver holds the watch while add_torrent runs, which is when this is called.
  Watch* watch = data.get<Watch>();
  if (!watch) return {};
  return std::make_shared<TorrentWatch>(watch->shared_from_this());
}

}  // namespace pellucor::service
