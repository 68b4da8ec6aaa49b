#include "support/fake_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "torrent/bencode.h"

namespace pellucor::testing {
namespace {

constexpr char kProtocol[] =
    "\x13"
    "BitTorrent protocol";
constexpr int kExtended = 20;      // BEP 10 message id
constexpr int kOurMetadataId = 3;  // the ut_metadata number we announce

// Reads exactly `n` bytes; false when the peer went away or 10 s passed without data.
bool ReadExactly(int fd, char* out, size_t n) {
  while (n > 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    const ssize_t got = ::recv(fd, out, n, 0);
    if (got <= 0) return false;
    out += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// False when the connection broke first.
bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string Message(int id, const std::string& payload) {
  const uint32_t length = htonl(static_cast<uint32_t>(payload.size() + 1));
  std::string out(reinterpret_cast<const char*>(&length), 4);
  out += static_cast<char>(id);
  return out + payload;
}

// The number after `key` in a bencoded text ("...3:keyi42e..." → 42), or -1.
long long IntAfter(const std::string& text, const std::string& key) {
  const std::string needle = std::to_string(key.size()) + ":" + key + "i";
  const size_t at = text.find(needle);
  if (at == std::string::npos) return -1;
  return std::atoll(text.c_str() + at + needle.size());
}

}  // namespace

FakePeer::FakePeer(std::map<std::string, Behaviour> hashes) : hashes_(std::move(hashes)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener_, 64);
  socklen_t length = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      ++connections_;
      std::lock_guard lock(mutex_);
      open_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

FakePeer::~FakePeer() {
  stopping_ = true;
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : workers_) t.join();
  for (int fd : open_) ::close(fd);
  ::close(listener_);
}

void FakePeer::Serve(int fd) {
  char handshake[68];
  if (!ReadExactly(fd, handshake, sizeof handshake) || std::memcmp(handshake, kProtocol, 20) != 0) {
    ::shutdown(fd, SHUT_RDWR);
    return;
  }
  const auto it = hashes_.find(std::string(handshake + 28, 20));
  if (it == hashes_.end()) {
    ::shutdown(fd, SHUT_RDWR);
    return;
  }
  const Behaviour behaviour = it->second;
  std::string reply(kProtocol, 20);
  reply += std::string("\0\0\0\0\0\x10\0\0", 8);
  reply.append(handshake + 28, 20);
  reply += "-FP0001-fakepeer0001";
  const Bencode::Dict extensions{{"m", Bencode::Dict{{"ut_metadata", kOurMetadataId}}},
                                 {"metadata_size", behaviour.size}};
  reply += Message(kExtended, std::string(1, '\0') + Bencode(extensions).Encode());
  SendAll(fd, reply);

  int theirMetadataId = 2;  // libtorrent's, unless its handshake says otherwise
  if (behaviour.mode == Mode::kFlood) {
    const std::string filler(16 * 1024, 'f');
    for (int piece = 0; !stopping_ && piece * 16 * 1024 < behaviour.size; ++piece) {
      const int bytes = std::min(16 * 1024, behaviour.size - piece * 16 * 1024);
      const Bencode::Dict header{{"msg_type", 1}, {"piece", piece}, {"total_size", behaviour.size}};
      if (!SendAll(fd, Message(kExtended, std::string(1, static_cast<char>(theirMetadataId)) +
                                              Bencode(header).Encode() + filler.substr(0, bytes))))
        break;
    }
  }
  while (!stopping_) {
    char header[4];
    if (!ReadExactly(fd, header, 4)) break;
    uint32_t length;
    std::memcpy(&length, header, 4);
    length = ntohl(length);
    if (length > (1 << 20)) break;
    std::string body(length, '\0');
    if (length > 0 && !ReadExactly(fd, body.data(), length)) break;
    if (length < 2 || body[0] != kExtended) continue;
    const std::string dictionary = body.substr(2);
    if (body[1] == 0) {
      const long long id = IntAfter(dictionary, "ut_metadata");
      if (id > 0) theirMetadataId = static_cast<int>(id);
    } else if (body[1] == kOurMetadataId && behaviour.mode == Mode::kWrongData &&
               IntAfter(dictionary, "msg_type") == 0) {
      // An info dictionary of the announced size (one piece, whatever was asked) that hashes to
      // something else: {"name": N bytes}, "d4:name" + N + ":" + N bytes + "e".
      std::string data;
      for (int digits = 1; digits < 6 && data.empty(); ++digits) {
        const int n = behaviour.size - 9 - digits;
        if (n > 0 && static_cast<int>(std::to_string(n).size()) == digits)
          data = Bencode(Bencode::Dict{{"name", std::string(n, 'w')}}).Encode();
      }
      const Bencode::Dict piece{{"msg_type", 1},
                                {"piece", static_cast<int64_t>(IntAfter(dictionary, "piece"))},
                                {"total_size", behaviour.size}};
      SendAll(fd, Message(kExtended, std::string(1, static_cast<char>(theirMetadataId)) +
                                         Bencode(piece).Encode() + data));
    }
  }
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace pellucor::testing
