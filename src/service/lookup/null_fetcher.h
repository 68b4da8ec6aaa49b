// The Fetcher of a service without a swarm (and of tests that need none): every fetch ends with
// kNoPeers and no counts, posted as the resolver's answers are, never within Fetch; Cancel
// withdraws an answer not yet handed on. Runs on the io thread (serve.cpp), like the lookups.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "service/store/lookup_lease.h"
#include "service/swarm/fetcher.h"

namespace pellucor::service {

class NullFetcher final : public Fetcher {
 public:
  // `post` hands the answers to the io thread.
  explicit NullFetcher(Post post) : post_(std::move(post)) {}
  // Answers still on their way are dropped, not run.
  ~NullFetcher() override { waiting_->clear(); }

  using Fetcher::Fetch;
  std::uint64_t Fetch(const std::string&, const FetchSources&, const std::string&,
                      std::function<void(FetchResult)> done) override {
    const std::uint64_t ticket = ++lastTicket_;
    waiting_->insert(ticket);
    // The task holds the set, so a task run after the fetcher went finds its ticket gone.
    post_([waiting = waiting_, ticket, done = std::move(done)] {
      if (waiting->erase(ticket)) done(FetchResult{});
    });
    return ticket;
  }
  void AddSources(const std::string&, const FetchSources&) override {}
  bool Cancel(std::uint64_t ticket) override { return waiting_->erase(ticket) > 0; }
  bool Running() const override { return true; }
  int DhtNodes() const override { return 0; }

 private:
  Post post_;
  std::uint64_t lastTicket_ = 0;
  std::shared_ptr<std::set<std::uint64_t>> waiting_ = std::make_shared<std::set<std::uint64_t>>();
};

}  // namespace pellucor::service
