#pragma once

// The thread that talks to the sound server: libpulse's main loop, run on a thread of its own
// ("sound-input") under a lock that the application's thread takes to touch anything libpulse
// owns. The lock is recursive, and released only while the loop sleeps in poll().
//
// Unlike libpulse's threaded main loop it can pace itself: with a pace set, it sleeps at least
// that long between two wakes, and takes whatever arrived meanwhile in one go. A server sends a
// record stream's sound as often as its source produces it (every few milliseconds when a
// low-latency player shares the device), so unpaced the thread would wake hundreds of times a
// second to move a few bytes. While paced, timers and requests from the application wait up
// to one pace too.

#include <poll.h>
#include <pulse/mainloop.h>
#include <pulse/timeval.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quorvane::wavein {

class SoundThread {
 public:
  SoundThread();
  // Stops the thread, then frees the loop: call without the lock, with every event freed.
  ~SoundThread();
  SoundThread(const SoundThread&) = delete;
  SoundThread& operator=(const SoundThread&) = delete;

  // False when the loop or the thread cannot be made.
  bool Start();
  pa_mainloop_api* api() const { return pa_mainloop_get_api(loop_); }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

  // Lock held. 0 for no pace: wake for every event.
  void SetPace(pa_usec_t pace);

 private:
  static int Poll(pollfd* fds, unsigned long count, int timeout_ms, void* userdata);
  void Run();

  // Ends a paced sleep early: the pace was lifted, or the loop is to stop.
  void Interrupt();

  pa_mainloop* loop_ = nullptr;
  std::recursive_mutex mutex_;
  std::thread thread_;
  pa_usec_t pace_ = 0;       // under the lock
  pa_usec_t last_wake_ = 0;  // the loop's thread only
  std::mutex sleep_mutex_;
  std::condition_variable sleep_ended_;
  bool interrupted_ = false;  // under sleep_mutex_
};

}  // namespace quorvane::wavein
