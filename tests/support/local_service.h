// pellucor-service's parts in this process, on 127.0.0.1 with a port the system picks, wired as
// serve.cpp wires them: the sites over a given store, with a swarm resolver when settings for one
// are given (else the null fetcher), served by one io_context thread, with the lookup leases
// given (else those of a store this process owns). For tests that talk to the service over real
// sockets.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "service/core/metrics.h"
#include "service/http/http_server.h"
#include "service/lookup/lookups.h"
#include "service/lookup/null_fetcher.h"
#include "service/lookup/null_leases.h"
#include "service/lookup/torrent_cache.h"
#include "service/sites/sites.h"
#include "service/store/store.h"
#include "service/swarm/resolver.h"

namespace pellucor::testing {

struct LocalServiceSettings {
  std::optional<service::ResolverSettings> swarm;  // none: every lookup misses with no_peers
  service::SiteSettings site;
  service::LookupSettings lookup;
  service::HttpServerSettings http;
  size_t cacheBytes = 256 * 1024 * 1024;
  // Another instance's leases, as a shared store gives them; none: a store this process owns.
  service::LookupLeases* leases = nullptr;
};

class LocalService {
 public:
  LocalService(service::Store& store, LocalServiceSettings settings = {}) {
    const service::Post post = [this](std::function<void()> task) {
      boost::asio::post(io_, std::move(task));
    };
    if (settings.swarm)
      fetcher_ = std::make_unique<service::Resolver>(io_, *settings.swarm);
    else
      fetcher_ = std::make_unique<service::NullFetcher>(post);
    ownLeases_ = std::make_unique<service::NullLeases>(post);
    cache_ = std::make_unique<service::TorrentCache>(store, settings.cacheBytes, metrics_);
    lookups_ = std::make_unique<service::Lookups>(*cache_, *fetcher_,
                                                  settings.leases ? *settings.leases : *ownLeases_,
                                                  metrics_, std::move(settings.lookup));
    sites_ =
        std::make_unique<service::Sites>(*lookups_, *cache_, metrics_, std::move(settings.site));
    server_ = std::make_unique<service::HttpServer>(
        io_, std::move(settings.http),
        [this](const service::Request& r, service::Responder respond) {
          sites_->Handle(r, std::move(respond));
        });
    std::string error;
    if (server_->Listen("127.0.0.1", 0, &error)) port_ = server_->Port();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~LocalService() {
    io_.stop();
    thread_.join();
  }
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  int Port() const { return port_; }  // 0 when it could not listen
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  // Runs `task` on the service's thread, as lookup leases hand on their answers.
  void RunOnService(std::function<void()> task) { boost::asio::post(io_, std::move(task)); }

 private:
  boost::asio::io_context io_{1};
  service::Metrics metrics_;
  std::unique_ptr<service::Fetcher> fetcher_;
  std::unique_ptr<service::LookupLeases> ownLeases_;
  std::unique_ptr<service::TorrentCache> cache_;
  std::unique_ptr<service::Lookups> lookups_;
  std::unique_ptr<service::Sites> sites_;
  std::unique_ptr<service::HttpServer> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace pellucor::testing
