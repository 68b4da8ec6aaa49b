// The DHT's routing table kept between runs (Resolver::DhtState, ResolverSettings::dhtState), so
// that a restart finds nodes at once: read at the start, written every five minutes and at the
// end, through a temporary file and a rename, so a crash leaves the old file or the new one.
// Runs on the io thread (its timer does, and Stop() is called there).
#pragma once

#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace pellucor::service {

class DhtStateFile {
 public:
  // `path` is UTF-8.
  DhtStateFile(boost::asio::io_context& io, std::string path)
      : path_(std::move(path)), timer_(io) {}

  // The state the last run saved; empty when there is none.
  std::string Read() const;
  // Saves `state()` every five minutes until Stop().
  void SaveRegularly(std::function<std::string()> state);
  // Stops the timer and saves once more.
  void Stop();

 private:
  void Save();
  void Schedule();

  const std::string path_;
  boost::asio::steady_timer timer_;
  std::function<std::string()> state_;
};

}  // namespace pellucor::service
