#include "service/store/stored_count.h"

#include <memory>

namespace pellucor::service {

StoredCount::StoredCount(Store& store, Post post, std::chrono::milliseconds every)
    : store_(store), post_(std::move(post)), every_(every), value_(store.Count()) {
  thread_ = std::thread([this] { Loop(); });
}

StoredCount::~StoredCount() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void StoredCount::Loop() {
  // Counts handed over after the object went are dropped: they hold it weakly.
  const auto alive = std::make_shared<StoredCount*>(this);
  const std::weak_ptr<StoredCount*> weak = alive;
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, every_, [this] { return stopping_; })) {
    lock.unlock();
    const int64_t count = store_.Count();
    post_([weak, count] {
      if (const auto self = weak.lock()) (*self)->value_ = count;
    });
    lock.lock();
  }
}

}  // namespace pellucor::service
