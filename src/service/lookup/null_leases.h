// The LookupLeases of a store one process owns (SQLite): no other instance ever searches, so
// every Acquire is answered kSearch, posted as the PostgreSQL leases' answers are, never within
// the call; Release has nobody to wake. Runs on the io thread (serve.cpp), like the lookups.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "service/store/lookup_lease.h"

namespace pellucor::service {

class NullLeases final : public LookupLeases {
 public:
  // `post` hands the answers to the io thread.
  explicit NullLeases(Post post) : post_(std::move(post)) {}

  void Acquire(const std::string&, std::function<void(LeaseTurn)> done) override {
    // Dropped, not run, once the leases are gone.
    post_([alive = std::weak_ptr<char>(alive_), done = std::move(done)] {
      if (alive.lock()) done(LeaseTurn{LeaseTurn::Kind::kSearch, {}});
    });
  }
  void Release(const std::string&, const LookupReport&) override {}

 private:
  Post post_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace pellucor::service
