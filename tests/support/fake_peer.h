// A BitTorrent peer on 127.0.0.1 that misbehaves on purpose, for the service's lookup outcomes.
// It answers the plain-text handshake (BEP 3) with the extension bit (BEP 10), and then, by the
// info hash asked for:
//   kStall       offers metadata (ut_metadata, BEP 9) and never sends it
//   kWrongData   offers metadata and sends, whatever is asked, bytes of another info dictionary
//   kOversized   offers metadata of `size` bytes (meant to be over the service's cap)
//   kFlood       offers metadata of `size` bytes and sends every piece of it at once, asked
//                for or not (bytes that hash to nothing asked for)
// and closes the connection for any other hash, or for a handshake it does not understand (an
// encrypted one: libtorrent then tries again in plain text).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pellucor::testing {

class FakePeer {
 public:
  enum class Mode { kStall, kWrongData, kOversized, kFlood };
  struct Behaviour {
    Mode mode;
    int size;  // the metadata_size it announces
  };

  // `hashes` maps 20 raw bytes (an info hash as sent in the handshake) to the behaviour.
  explicit FakePeer(std::map<std::string, Behaviour> hashes);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  int Port() const { return port_; }
  // Connections accepted so far.
  int Connections() const { return connections_; }

 private:
  void Serve(int fd);

  std::map<std::string, Behaviour> hashes_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<int> open_;
};

}  // namespace pellucor::testing
