// Threads, the same on every platform: std::thread (winpthreads in the Windows build) with the
// default stack size.
#include <system_error>
#include <thread>

#include "base/env.h"

namespace pellucor {

struct ThreadHandle::Impl {
  std::thread thread;
};

ThreadHandle::ThreadHandle() = default;
ThreadHandle::ThreadHandle(ThreadHandle&&) noexcept = default;
ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
  if (this != &other) {
    if (impl_) impl_->thread.detach();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
ThreadHandle::~ThreadHandle() {
  if (impl_) impl_->thread.detach();
}

bool ThreadHandle::Join() {
  if (!impl_) return false;
  bool ok = true;
  try {
    impl_->thread.join();
  } catch (const std::system_error&) {  // a thread joining itself
    impl_->thread.detach();
    ok = false;
  }
  impl_.reset();
  return ok;
}

bool StartThread(std::function<void(intptr_t)> routine, intptr_t parameter, ThreadHandle* handle) {
  std::thread thread;
  try {
    thread = std::thread([routine = std::move(routine), parameter] { routine(parameter); });
  } catch (const std::system_error&) {  // no thread could be created
    return false;
  }
  if (handle) {
    *handle = ThreadHandle();
    handle->impl_ = std::make_unique<ThreadHandle::Impl>(ThreadHandle::Impl{std::move(thread)});
  } else {
    thread.detach();
  }
  return true;
}

}  // namespace pellucor
