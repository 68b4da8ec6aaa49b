// Raw HTTP/1.1 exchanges with a server on 127.0.0.1, for the service's tests (POSIX sockets).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace pellucor::testing {

// A TCP connection to 127.0.0.1:`port` from `source` (another loopback address, such as
// "127.0.0.2", to stand for another client); -1 when it cannot be made.
inline int Connect(int port, const char* source = nullptr, int timeoutSeconds = 5) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeval tv{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (source) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything `fd` delivers until the far end closes or a read times out.
inline std::string ReadAll(int fd) {
  std::string reply;
  char buf[65536];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    reply.append(buf, static_cast<size_t>(n));
  return reply;
}

// Sends raw bytes and reads the whole reply (the server closes after a request that says
// "Connection: close", or after its deadline); `timeoutSeconds` at most for each read.
inline std::string Exchange(int port, const std::string& request, int sendPauseMs = 0,
                            int timeoutSeconds = 5, const char* source = nullptr) {
  const int fd = Connect(port, source, timeoutSeconds);
  if (fd < 0) return "";
  if (sendPauseMs == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  } else {  // a slow client: one byte at a time
    for (char c : request) {
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(sendPauseMs));
    }
  }
  const std::string reply = ReadAll(fd);
  ::close(fd);
  return reply;
}

inline std::string Post(const std::string& path, const std::string& body) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: "
         "application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}
inline std::string Get(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:8600\r\nConnection: close\r\n\r\n";
}
inline std::string Status(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n"));
}
inline std::string Body(const std::string& reply) {
  const size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}
inline std::string Headers(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n\r\n"));
}

}  // namespace pellucor::testing
