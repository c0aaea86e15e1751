#include "capture/sound_thread.h"

#include <pthread.h>
#include <pulse/rtclock.h>

#include <cerrno>
#include <chrono>

namespace quorvane::wavein {

SoundThread::SoundThread() : loop_(pa_mainloop_new()) {
  if (loop_ != nullptr) pa_mainloop_set_poll_func(loop_, Poll, this);
}

SoundThread::~SoundThread() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      pa_mainloop_quit(loop_, 0);
    }
    Interrupt();
    thread_.join();
  }
  if (loop_ != nullptr) pa_mainloop_free(loop_);
}

bool SoundThread::Start() {
  if (loop_ == nullptr) return false;
  if (thread_.joinable()) return true;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void SoundThread::SetPace(pa_usec_t pace) {
  if (pace_ == pace) return;
  pace_ = pace;
  if (pace == 0) Interrupt();
  pa_mainloop_wakeup(loop_);
}

void SoundThread::Interrupt() {
  {
    std::lock_guard lock(sleep_mutex_);
    interrupted_ = true;
  }
  sleep_ended_.notify_one();
}

void SoundThread::Run() {
  pthread_setname_np(pthread_self(), "sound-input");
  std::lock_guard lock(mutex_);
  int result = 0;
  pa_mainloop_run(loop_, &result);
}

// Runs on the loop's thread with the lock held once (inside pa_mainloop_run).
int SoundThread::Poll(pollfd* fds, unsigned long count, int timeout_ms, void* userdata) {
  auto* self = static_cast<SoundThread*>(userdata);
  const pa_usec_t pace = self->pace_;
  self->mutex_.unlock();
  // libpulse reads one packet per turn of its loop, and a server may send a fragment in
  // several: a paced wake goes on turning, without sleeping, until nothing is left. Else the
  // stream would be read at a fraction of its rate, ever further behind.
  int result = pace > 0 ? poll(fds, count, 0) : 0;
  if (result == 0) {
    const pa_usec_t now = pa_rtclock_now();
    const pa_usec_t next = self->last_wake_ + pace;
    if (pace > 0 && next > now) {
      std::unique_lock lock(self->sleep_mutex_);
      self->sleep_ended_.wait_for(lock, std::chrono::microseconds(next - now),
                                  [self] { return self->interrupted_; });
      const auto slept_ms = static_cast<int>((pa_rtclock_now() - now) / PA_USEC_PER_MSEC);
      if (timeout_ms > 0) timeout_ms = timeout_ms > slept_ms ? timeout_ms - slept_ms : 0;
    }
    {
      std::lock_guard lock(self->sleep_mutex_);
      self->interrupted_ = false;
    }
    result = poll(fds, count, timeout_ms);
    self->last_wake_ = pa_rtclock_now();
  }
  const int error = errno;
  self->mutex_.lock();
  errno = error;
  return result;
}

}  // namespace quorvane::wavein
