// pellucor-service's parts in this process, on 127.0.0.1 with a port the system picks: the
// sites over a given store, with a swarm resolver when settings for one are given, served by one
// io_context thread, with the lookup leases given. For tests that talk to the service over real
// sockets.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "service/http/http_server.h"
#include "service/sites/sites.h"
#include "service/store/store.h"
#include "service/swarm/resolver.h"

namespace pellucor::testing {

class LocalService {
 public:
  LocalService(service::Store& store, std::optional<service::ResolverSettings> resolver,
               service::SiteSettings site = {}, service::HttpServerSettings http = {},
               service::LookupLeases* leases = nullptr) {
    if (resolver) resolver_ = std::make_unique<service::Resolver>(io_, *resolver);
    sites_ = std::make_unique<service::Sites>(store, resolver_.get(), std::move(site), leases);
    server_ = std::make_unique<service::HttpServer>(
        io_, std::move(http), [this](const service::Request& r, service::Responder respond) {
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
  service::HttpServer& Server() { return *server_; }
  // Runs `task` on the service's thread, as lookup leases hand on their answers.
  void RunOnService(std::function<void()> task) { boost::asio::post(io_, std::move(task)); }

 private:
  boost::asio::io_context io_{1};
  std::unique_ptr<service::Resolver> resolver_;
  std::unique_ptr<service::Sites> sites_;
  std::unique_ptr<service::HttpServer> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace pellucor::testing
