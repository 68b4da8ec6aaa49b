// Load for bench/service/download_bench.sh: CONNECTIONS keep-alive connections to
// 127.0.0.1:PORT, each asking for PATH again as soon as its reply is in, for SECONDS. Every reply
// is checked while it arrives: status 200, a Content-Length equal to the expected file's size,
// and the body compared byte for byte with that file (no reply is buffered, so a 5 MB reply
// costs the client a memcmp, not a copy). Prints one line
//   requests N good G bad B errors E seconds S rate R
// where rate counts good replies only, and exits 1 unless every reply was good and no
// connection failed. Linux, loopback only.
//   download_load PORT PATH EXPECTED-FILE CONNECTIONS SECONDS [THREADS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Totals {
  long good = 0;
  long bad = 0;
  long errors = 0;
};

struct Connection {
  int fd = -1;
  std::string header;  // the reply's header block while it arrives
  bool inBody = false;
  bool ok = true;        // this reply so far: status, length and bytes as expected
  bool closing = false;  // the server said Connection: close
  size_t length = 0;     // the reply's Content-Length
  size_t offset = 0;     // body bytes seen
};

class Load {
 public:
  Load(int port, std::string path, const std::string& expected) : port_(port), expected_(expected) {
    request_ = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  }

  // One thread's share: `count` connections until `until`.
  Totals Run(int count, Clock::time_point until) {
    Totals totals;
    const int poll = epoll_create1(0);
    std::vector<Connection> connections(static_cast<size_t>(count));
    for (size_t i = 0; i < connections.size(); ++i)
      if (!Open(poll, connections[i], i)) ++totals.errors;
    std::vector<char> buffer(256 * 1024);
    epoll_event events[64];
    while (Clock::now() < until) {
      const int n = epoll_wait(poll, events, 64, 50);
      for (int e = 0; e < n; ++e) {
        Connection& c = connections[events[e].data.u64];
        for (;;) {
          const ssize_t got = recv(c.fd, buffer.data(), buffer.size(), 0);
          if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
          if (got <= 0) {  // the server hung up without saying so, or in a reply
            ++totals.errors;
            Reopen(poll, c, events[e].data.u64, totals);
            break;
          }
          if (!Take(c, buffer.data(), static_cast<size_t>(got), totals)) {
            Reopen(poll, c, events[e].data.u64, totals);
            break;
          }
        }
      }
    }
    for (Connection& c : connections)
      if (c.fd >= 0) close(c.fd);
    close(poll);
    return totals;
  }

 private:
  bool Open(int poll, Connection& c, size_t index) {
    c = Connection{};
    c.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (c.fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Connect blocking (loopback answers at once), then work non-blocking.
    if (connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = index;
    epoll_ctl(poll, EPOLL_CTL_ADD, c.fd, &event);
    return Send(c);
  }

  void Reopen(int poll, Connection& c, size_t index, Totals& totals) {
    close(c.fd);
    c.fd = -1;
    if (!Open(poll, c, index)) ++totals.errors;
  }

  // The request is small: it goes into the socket buffer whole.
  bool Send(Connection& c) {
    size_t sent = 0;
    for (int tries = 0; sent < request_.size() && tries < 1000; ++tries) {
      const ssize_t n = send(c.fd, request_.data() + sent, request_.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      } else {
        return false;
      }
    }
    return sent == request_.size();
  }

  // Feeds received bytes to the reply being read; false when the connection must be reopened.
  bool Take(Connection& c, const char* data, size_t size, Totals& totals) {
    while (size > 0) {
      if (!c.inBody) {
        const size_t before = c.header.size();
        c.header.append(data, size);
        const size_t end = c.header.find("\r\n\r\n");
        if (end == std::string::npos) {
          if (c.header.size() > 16384) return ++totals.bad, false;
          return true;
        }
        const size_t used = end + 4 - before;
        data += used;
        size -= used;
        c.header.resize(end + 2);
        if (!Header(c)) return ++totals.bad, false;  // no length to find the reply's end by
        c.inBody = true;
        c.offset = 0;
      }
      const size_t take = std::min(size, c.length - c.offset);
      if (c.ok && std::memcmp(data, expected_.data() + c.offset, take) != 0) c.ok = false;
      c.offset += take;
      data += take;
      size -= take;
      if (c.offset == c.length) {
        c.ok ? ++totals.good : ++totals.bad;
        c.inBody = false;
        c.header.clear();
        // After a bad reply, or one that said Connection: close, a new connection; bytes
        // beyond the reply asked for make the next reply's header, which then fails its check.
        if (!c.ok || c.closing) return false;
        if (size > 0) continue;
        return Send(c);
      }
    }
    return true;
  }

  // Reads the header block: false when it gives no Content-Length. The reply is good so far
  // when its status is 200 and its length the expected file's; a longer reply is compared
  // only as far as the file goes, and fails on its length.
  bool Header(Connection& c) {
    std::string lower = c.header;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    const std::string field = "\r\ncontent-length: ";
    const size_t at = lower.find(field);
    if (at == std::string::npos || lower.find("\r\ntransfer-encoding:") != std::string::npos)
      return false;
    c.length = std::strtoull(lower.c_str() + at + field.size(), nullptr, 10);
    c.ok = lower.rfind("http/1.1 200 ", 0) == 0 && c.length == expected_.size();
    c.closing = lower.find("\r\nconnection: close\r\n") != std::string::npos;
    return true;
  }

  int port_;
  const std::string& expected_;
  std::string request_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: download_load PORT PATH EXPECTED-FILE CONNECTIONS SECONDS [THREADS]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  std::ifstream in(argv[3], std::ios::binary);
  const std::string expected{std::istreambuf_iterator<char>(in), {}};
  const int connections = std::atoi(argv[4]);
  const double seconds = std::atof(argv[5]);
  const int threads = argc > 6 ? std::atoi(argv[6]) : 2;
  if (port <= 0 || expected.empty() || connections <= 0 || seconds <= 0 || threads <= 0) {
    std::fprintf(stderr, "download_load: bad arguments\n");
    return 2;
  }
  Load load(port, argv[2], expected);
  const Clock::time_point start = Clock::now();
  const Clock::time_point until =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<Totals> totals(static_cast<size_t>(threads));
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    const int share = connections / threads + (t < connections % threads ? 1 : 0);
    workers.emplace_back(
        [&, t, share] { totals[static_cast<size_t>(t)] = load.Run(share, until); });
  }
  for (std::thread& w : workers) w.join();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  Totals sum;
  for (const Totals& t : totals) {
    sum.good += t.good;
    sum.bad += t.bad;
    sum.errors += t.errors;
  }
  std::printf("requests %ld good %ld bad %ld errors %ld seconds %.2f rate %.2f\n",
              sum.good + sum.bad, sum.good, sum.bad, sum.errors, took, sum.good / took);
  return sum.bad == 0 && sum.errors == 0 && sum.good > 0 ? 0 : 1;
}
