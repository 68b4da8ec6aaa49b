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
// Peers may disagree about the size; a few candidate sizes at once are enough for honest ones
// and bound what hostile ones cost.
constexpr std::size_t kMaxAssemblies = 4;

struct Assembly {
  std::string bytes;
  std::vector<bool> have;
  std::size_t missing = 0;
};

}  // namespace

class MetadataWatch::Watch : public std::enable_shared_from_this<Watch> {
 public:
  Watch(std::string hash, int maxBytes, std::function<void()> changed)
      : hash_(std::move(hash)), maxBytes_(maxBytes), changed_(std::move(changed)) {}

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

  // One whole metadata message from `from`: a dictionary, and for a data message the piece.
  void Message(lt::span<const char> body, const lt::tcp::endpoint& from,
               lt::peer_source_flags_t source) {
    lt::error_code ec;
    const lt::bdecode_node message = lt::bdecode(body, ec);
    if (ec || message.type() != lt::bdecode_node::dict_t) return;
    if (message.dict_find_int_value("msg_type", -1) != kPieceMessage) return;
    const std::int64_t piece = message.dict_find_int_value("piece", -1);
    const std::int64_t total = message.dict_find_int_value("total_size", 0);
    const lt::span<const char> data = body.subspan(message.data_section().size());
    bool notify = false;
    {
      std::lock_guard lock(mutex_);
      if (snapshot_.info) return;
      if (total > maxBytes_) {
        notify = !snapshot_.tooLarge;
        snapshot_.tooLarge = true;
      } else if (total > 0) {
        notify = Add(static_cast<int>(total), piece, data, from, source);
      }
    }
    if (notify) Changed();
  }

 private:
  // Called with the mutex held; true when the snapshot changed.
  bool Add(int total, std::int64_t piece, lt::span<const char> data, const lt::tcp::endpoint& from,
           lt::peer_source_flags_t source) {
    const std::size_t pieces = static_cast<std::size_t>((total + kPieceBytes - 1) / kPieceBytes);
    if (piece < 0 || static_cast<std::size_t>(piece) >= pieces) return false;
    const std::size_t offset = static_cast<std::size_t>(piece) * kPieceBytes;
    const std::size_t expected = std::min<std::size_t>(kPieceBytes, total - offset);
    if (static_cast<std::size_t>(data.size()) != expected) return false;
    auto it = assemblies_.find(total);
    if (it == assemblies_.end()) {
      if (assemblies_.size() >= kMaxAssemblies) return false;
      Assembly fresh;
      fresh.bytes.assign(static_cast<std::size_t>(total), '\0');
      fresh.have.assign(pieces, false);
      fresh.missing = pieces;
      it = assemblies_.emplace(total, std::move(fresh)).first;
    }
    Assembly& a = it->second;
    if (a.have[static_cast<std::size_t>(piece)]) return false;
    std::memcpy(a.bytes.data() + offset, data.data(), expected);
    a.have[static_cast<std::size_t>(piece)] = true;
    if (--a.missing > 0) return false;
    std::string bytes = std::move(a.bytes);
    assemblies_.erase(it);
    if (Matches(bytes)) {
      snapshot_.info = std::move(bytes);
      snapshot_.from = from;
      snapshot_.fromSource = source;
    } else {
      snapshot_.bad = true;
    }
    return true;
  }

  bool Matches(const std::string& bytes) const {
    const lt::span<const char> span(bytes.data(), static_cast<std::ptrdiff_t>(bytes.size()));
    const lt::sha256_hash sha256 = lt::hasher256(span).final();
    if (hash_.size() == static_cast<std::size_t>(lt::sha256_hash::size())) {
      return std::memcmp(sha256.data(), hash_.data(), hash_.size()) == 0;
    }
    if (hash_.size() != static_cast<std::size_t>(lt::sha1_hash::size())) return false;
    const lt::sha1_hash sha1 = lt::hasher(span).final();
    return std::memcmp(sha1.data(), hash_.data(), hash_.size()) == 0 ||
           std::memcmp(sha256.data(), hash_.data(), hash_.size()) == 0;
  }

  void Changed() {
    if (changed_) changed_();
  }

  const std::string hash_;
  const int maxBytes_;
  const std::function<void()> changed_;
  std::mutex mutex_;  // libtorrent's thread writes the snapshot, the io thread reads it
  Snapshot snapshot_;
  std::map<int, Assembly> assemblies_;
};

namespace {

class PeerWatch final : public lt::peer_plugin {
 public:
  PeerWatch(std::shared_ptr<MetadataWatch::Watch> watch, const lt::peer_connection_handle& peer)
      : watch_(std::move(watch)), peer_(peer), remote_(peer.remote()) {}
  ~PeerWatch() override { Leave(); }

  bool on_extension_handshake(const lt::bdecode_node& handshake) override {
    if (!offering_) offering_ = watch_->Offered(handshake);
    lt::peer_info info;
    peer_.get_peer_info(info);
    source_ = info.source;
    return true;
  }

  bool on_extended(int length, int message, lt::span<const char> body) override {
    // Called again as more of a message arrives; only the whole message is read.
    if (message == kUtMetadataMessage && body.size() == length)
      watch_->Message(body, remote_, source_);
    return false;  // libtorrent's own plugin handles it as well
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

std::shared_ptr<MetadataWatch::Watch> MetadataWatch::Expect(std::string hash,
                                                            std::function<void()> changed) {
  return std::make_shared<Watch>(std::move(hash), maxBytes_, std::move(changed));
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
