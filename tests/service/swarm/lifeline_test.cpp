// Tasks made from a lifeline act on their owner until it is cut, and never after: posted before
// or after the cut, run by a timer or by another thread's post.
#include "service/swarm/lifeline.h"

#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

namespace pellucor::service {
namespace {

struct Owner {
  int calls = 0;
};

TEST(Lifeline, TasksDoNothingOnceItIsCut) {
  for (const bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "cut" : "alive");
    boost::asio::io_context io;
    Owner owner;
    Lifeline<Owner> life(&owner);
    const auto count = [](Owner& o) { ++o.calls; };
    boost::asio::post(io, life.Task(count));         // posted here
    std::thread(life.PostedTask(io, count)).join();  // posted from another thread
    if (cut) life.Cut();
    life.Task(count)();  // made from a lifeline that was cut, or not
    io.run();
    EXPECT_EQ(owner.calls, cut ? 0 : 3);
  }
}

}  // namespace
}  // namespace pellucor::service
