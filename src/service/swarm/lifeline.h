// Tasks that act on their owner only while it lives: the owner keeps a Lifeline and cuts it when
// it goes; a task made from it (posted to the io thread, or waiting in a timer) holds it weakly,
// and once it is cut does nothing. The tasks run on the io thread, the thread the owner goes on.
//   Lifeline<Resolver> life_{this};                                 // cut in ~Resolver
//   session.set_alert_notify(life_.PostedTask(io, [](Resolver& r) { r.PopAlerts(); }));
#pragma once

#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace pellucor::service {

template <typename Owner>
class Lifeline {
 public:
  explicit Lifeline(Owner* owner) : owner_(std::make_shared<Owner*>(owner)) {}
  Lifeline(const Lifeline&) = delete;
  Lifeline& operator=(const Lifeline&) = delete;

  // Every task made from this lifeline does nothing from now on.
  void Cut() { owner_.reset(); }

  // Runs `work` on the owner, or nothing once the lifeline is cut.
  std::function<void()> Task(std::function<void(Owner&)> work) const {
    return [weak = std::weak_ptr<Owner*>(owner_), work = std::move(work)] {
      if (const std::shared_ptr<Owner*> owner = weak.lock()) work(**owner);
    };
  }
  // The same task, posted to `io` by whichever thread calls it (libtorrent's, for instance).
  std::function<void()> PostedTask(boost::asio::io_context& io,
                                   std::function<void(Owner&)> work) const {
    return [&io, task = Task(std::move(work))] { boost::asio::post(io, task); };
  }

 private:
  std::shared_ptr<Owner*> owner_;
};

}  // namespace pellucor::service
