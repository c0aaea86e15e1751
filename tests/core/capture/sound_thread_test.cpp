// The sound thread's loop, driven as libpulse drives it: through its table of calls, with the
// lock held, from the test's thread while the loop waits. No sound server.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "capture/sound_thread.h"

namespace quorvane::wavein {
namespace {

using Lock = std::lock_guard<SoundThread>;

class LoopTest : public ::testing::Test {
 protected:
  // What the loop called, in order: "<name>" for a callback, "~<name>" for a destroy callback.
  struct Event {
    LoopTest* test;
    std::string name;
    std::function<void()> then;  // run in the callback, lock held
  };

  void SetUp() override { ASSERT_TRUE(loop_.Start()); }

  // True once `done` holds, looked at under the lock; false after a generous time.
  bool WaitFor(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      {
        Lock lock(loop_);
        if (done()) return true;
      }
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::vector<std::string> Log() {
    Lock lock(loop_);
    return log_;
  }

  Event* Named(std::string name, std::function<void()> then = {}) {
    return &events_.emplace_back(Event{this, std::move(name), std::move(then)});
  }
  static void Called(void* userdata) {
    auto* event = static_cast<Event*>(userdata);
    event->test->log_.push_back(event->name);
    if (event->then) event->then();
  }
  static void Destroyed(void* userdata) {
    auto* event = static_cast<Event*>(userdata);
    event->test->log_.push_back("~" + event->name);
  }

  static timeval In(pa_usec_t delay) {
    timeval when{};
    pa_gettimeofday(&when);
    return *pa_timeval_add(&when, delay);
  }
  pa_time_event* Timer(pa_usec_t delay, std::string name) {
    const timeval when = In(delay);
    pa_time_event* timer = api()->time_new(
        api(), &when, [](pa_mainloop_api*, pa_time_event*, const timeval*, void* e) { Called(e); },
        Named(std::move(name)));
    api()->time_set_destroy(timer, [](pa_mainloop_api*, pa_time_event*, void* e) { Destroyed(e); });
    return timer;
  }
  pa_mainloop_api* api() { return loop_.api(); }

  std::list<Event> events_;  // addresses that stay
  std::vector<std::string> log_;
  SoundThread loop_;  // stops first
};

TEST_F(LoopTest, TimersFireOnceInTheOrderTheyAreDueAndNotWhenStoppedOrFreed) {
  {
    // Held until all are due, so that however late the loop comes to them they fire in one
    // turn: the order is then the loop's, not the clock's.
    Lock lock(loop_);
    Timer(30'000, "30 ms");
    Timer(10'000, "10 ms");
    pa_time_event* moved = Timer(1'000, "moved to 40 ms");
    Timer(20'000, "20 ms");
    pa_time_event* stopped = Timer(1'000, "stopped");
    pa_time_event* freed = Timer(1'000, "freed");
    const timeval later = In(40'000);
    api()->time_restart(moved, &later);
    api()->time_restart(stopped, nullptr);
    api()->time_free(freed);
    std::this_thread::sleep_for(std::chrono::milliseconds(45));
  }
  ASSERT_TRUE(WaitFor([&] { return log_.size() >= 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more comes
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"~freed", "10 ms", "20 ms", "30 ms", "moved to 40 ms"}));
}

// The loop waits for descriptors and timers with no timeout of its own: what the test's
// thread changes must end that wait, or nothing would ever run.
TEST_F(LoopTest, ChangesFromAnotherThreadEndTheWait) {
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC), 0);
  pa_defer_event* defer = nullptr;
  ASSERT_TRUE(WaitFor([&] { return loop_.waiting(); }));
  {
    Lock lock(loop_);
    ASSERT_TRUE(loop_.waiting());  // nothing wakes it but what this thread does
    Timer(0, "timer due now");
  }
  ASSERT_TRUE(WaitFor([&] { return log_.size() == 1 && loop_.waiting(); }));
  {
    Lock lock(loop_);
    // Runs until it disables itself, on its third call.
    Event* event = Named("deferred", [&] {
      if (std::count(log_.begin(), log_.end(), "deferred") == 3) api()->defer_enable(defer, 0);
    });
    defer = api()->defer_new(
        api(), [](pa_mainloop_api*, pa_defer_event*, void* e) { Called(e); }, event);
  }
  ASSERT_TRUE(WaitFor([&] { return log_.size() == 4 && loop_.waiting(); }));
  {
    Lock lock(loop_);
    // Not watched at first, then watched for input: the change alone must start the watch.
    Event* event = Named("readable", [&] {
      char byte = 0;
      while (read(pipe_ends[0], &byte, 1) == 1) {
      }
    });
    pa_io_event* io = api()->io_new(
        api(), pipe_ends[0], PA_IO_EVENT_NULL,
        [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t flags, void* e) {
          if ((flags & PA_IO_EVENT_INPUT) != 0) Called(e);
        },
        event);
    ASSERT_EQ(write(pipe_ends[1], "x", 1), 1);
    api()->io_enable(io, PA_IO_EVENT_INPUT);
  }
  ASSERT_TRUE(WaitFor([&] { return log_.size() == 5; }));
  EXPECT_EQ(Log(), (std::vector<std::string>{"timer due now", "deferred", "deferred", "deferred",
                                             "readable"}));
  {
    Lock lock(loop_);
    api()->defer_free(defer);
  }
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

// A server may send sound every few milliseconds; paced, the loop takes it a pace at a time.
TEST_F(LoopTest, APacedLoopTakesWhatArrivedMeanwhileInOneWake) {
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC), 0);
  pa_io_event* io = nullptr;
  {
    Lock lock(loop_);
    loop_.SetPace(100'000);
    Event* event = Named("readable", [&] {
      char bytes[256];
      while (read(pipe_ends[0], bytes, sizeof bytes) > 0) {
      }
    });
    io = api()->io_new(
        api(), pipe_ends[0], PA_IO_EVENT_INPUT,
        [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* e) { Called(e); },
        event);
  }
  const auto start = std::chrono::steady_clock::now();
  int pieces = 0;
  for (; std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500); ++pieces) {
    ASSERT_EQ(write(pipe_ends[1], "x", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  ASSERT_TRUE(WaitFor([&] { return !log_.empty(); }));
  const auto wakes = static_cast<double>(Log().size());
  EXPECT_LE(wakes, seconds.count() / 0.1 + 2) << pieces << " pieces";
  {
    Lock lock(loop_);
    api()->io_free(io);
  }
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

// As libpulse expects of any loop: a destroy callback when an event is freed, and for those
// still there when the loop itself goes.
TEST(SoundThread, EventsLeftAtTheEndAreDestroyed) {
  std::vector<std::string> log;
  {
    SoundThread loop;
    ASSERT_TRUE(loop.Start());
    Lock lock(loop);
    pa_mainloop_api* api = loop.api();
    auto destroyed = [](pa_mainloop_api*, pa_defer_event*, void* log) {
      static_cast<std::vector<std::string>*>(log)->push_back("destroyed");
    };
    pa_defer_event* kept = api->defer_new(
        api, [](pa_mainloop_api*, pa_defer_event*, void*) {}, &log);
    api->defer_enable(kept, 0);
    api->defer_set_destroy(kept, destroyed);
  }
  EXPECT_EQ(log, std::vector<std::string>{"destroyed"});
}

}  // namespace
}  // namespace quorvane::wavein
