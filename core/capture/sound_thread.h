#pragma once

// The thread that talks to the sound server: a main loop for libpulse, run on a thread of its
// own ("sound-input") under a lock that the application's thread takes to touch anything
// libpulse owns. The lock is recursive, and released only while the loop waits.
//
// The loop is this class's own rather than libpulse's pa_mainloop, because of what a wake
// costs in system calls. pa_mainloop wakes itself through a pipe (a write, and a read on its
// next turn) whenever libpulse re-arms one of its events, which it does from its own callbacks
// for every packet; this loop is woken only by another thread that changes its events.
//
// And it can pace itself: with a pace set, it waits at least that long between two wakes, and
// takes whatever arrived meanwhile in one go. A server sends a record stream's sound as often
// as its source produces it (every few milliseconds when a low-latency player shares the
// device), so unpaced the thread would wake hundreds of times a second to move a few bytes.
// While paced, timers wait up to one pace too; a change from another thread ends the pause.

#include <poll.h>
#include <pulse/mainloop-api.h>
#include <pulse/sample.h>
#include <pulse/timeval.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvane::wavein {

class SoundThread {
 public:
  SoundThread();
  // Stops the thread, then frees what is left of the loop: call without the lock, once
  // libpulse's objects on the loop are gone.
  ~SoundThread();
  SoundThread(const SoundThread&) = delete;
  SoundThread& operator=(const SoundThread&) = delete;

  // False when the thread or its wake-up cannot be made.
  bool Start();
  pa_mainloop_api* api() { return &api_; }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

  // Lock held. 0 for no pace: wake for every event.
  void SetPace(pa_usec_t pace);
  // Lock held: the loop has let go of the lock to wait, so only another thread's change (or
  // its descriptors and timers) can end the wait.
  bool waiting() const { return waiting_; }

 private:
  friend struct LoopCalls;

  void Run();
  // Lock released: waits for the wake-up, the events' descriptors or the next timer, whichever
  // comes first, but not before the pace allows.
  void Wait(std::vector<pollfd>& fds, pa_usec_t deadline, pa_usec_t pace);
  // Lock held, at the top of a turn, when no callback runs.
  void Sweep();
  bool DispatchDefers();
  void DispatchTimers();
  pa_usec_t NextDeadline() const;
  // Lock held: the loop must look at its events again before it next waits, or before `due`.
  void Changed(pa_usec_t due = 0);

  pa_mainloop_api api_{};
  std::recursive_mutex mutex_;
  std::thread thread_;
  int wake_fd_ = -1;
  // Under the lock.
  std::vector<std::unique_ptr<pa_io_event>> io_events_;
  std::vector<std::unique_ptr<pa_time_event>> time_events_;
  std::vector<std::unique_ptr<pa_defer_event>> defer_events_;
  std::vector<pa_time_event*> due_;  // DispatchTimers' own, kept to spare an allocation a turn
  pa_usec_t pace_ = 0;
  bool waiting_ = false;
  pa_usec_t wait_deadline_ = PA_USEC_INVALID;  // the next timer's, as the loop began to wait
  bool wake_pending_ = false;
  bool quit_ = false;
  pa_usec_t last_wake_ = 0;  // the loop's thread only
};

}  // namespace quorvane::wavein
