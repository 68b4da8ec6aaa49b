// Several service instances on one store: which of them searches the swarm for a hash. The first
// to ask takes a lease on the hash (a row with an owner and an expiry, renewed while the owner
// lives); the others wait until the owner lets go and then answer from the store, or with the
// owner's miss, which stays remembered for a while. A lease whose owner died is not renewed,
// expires and is taken over by a waiter, which then searches itself.
//
// The seam sits in the lookup path (Lookups::Lookup): ask Acquire before searching, and Release
// once the search ended and what it found is stored.
#pragma once

#include <functional>
#include <string>

#include "service/core/outcome.h"

namespace pellucor::service {

// Hands a callback to the thread that should run it (the service's io_context).
using Post = std::function<void(std::function<void()>)>;

struct LeaseSettings {
  // How long a lease lasts unless its owner renews it (a third of this, while it lives): how
  // long waiters wait for an instance that died.
  int leaseMilliseconds = 10000;
  // How long another instance's miss is answered without searching again.
  int missMemoryMilliseconds = 60000;
};

struct LeaseTurn {
  enum class Kind {
    kSearch,  // search the swarm; the lease is held until Release
    kStored,  // another instance stored it: answer from the store
    kMissed,  // another instance found nothing lately: `report` says why
  };
  Kind kind = Kind::kSearch;
  LookupReport report;
};

// Acquire and Release are called on the io thread (serve.cpp); the answers come back there
// through Post, from wherever the leases do their work (PostgreSQL: a thread of their own).
class LookupLeases {
 public:
  virtual ~LookupLeases() = default;
  // `done` runs once, through the Post given at creation: at once when the hash is stored, was
  // missed lately or is free; else when the instance searching for it has let go, or has died.
  // When the store cannot be reached, kSearch: better a search of our own than a wait without
  // end. Callbacks pending when the leases go are dropped, not run.
  virtual void Acquire(const std::string& hash, std::function<void(LeaseTurn)> done) = 0;
  // Lets go of the lease on `hash` after a search: found (and stored), or a miss that other
  // instances answer with for a while. Waiters are woken at once.
  virtual void Release(const std::string& hash, const LookupReport& report) = 0;
};

}  // namespace pellucor::service
