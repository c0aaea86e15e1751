#include "capture/sound_thread.h"

#include <pthread.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace quorvane::wavein {

// The loop's events. A freed event only turns dead: the loop may be in the middle of a list of
// them, and drops the dead ones at the top of its next turn.
template <typename Callback, typename Destroy>
struct LoopEvent {
  SoundThread* loop;
  Callback callback;
  void* userdata;
  Destroy destroy = nullptr;
  bool dead = false;
};

}  // namespace quorvane::wavein

struct pa_io_event : quorvane::wavein::LoopEvent<pa_io_event_cb_t, pa_io_event_destroy_cb_t> {
  int fd;
  pa_io_event_flags_t events;
};

struct pa_time_event : quorvane::wavein::LoopEvent<pa_time_event_cb_t, pa_time_event_destroy_cb_t> {
  timeval when;        // as given, handed back to the callback
  pa_usec_t deadline;  // on the monotonic clock
  bool enabled;
};

struct pa_defer_event
    : quorvane::wavein::LoopEvent<pa_defer_event_cb_t, pa_defer_event_destroy_cb_t> {
  bool enabled;
};

namespace quorvane::wavein {

namespace {

short PollEvents(pa_io_event_flags_t events) {
  return static_cast<short>(((events & PA_IO_EVENT_INPUT) != 0 ? POLLIN : 0) |
                            ((events & PA_IO_EVENT_OUTPUT) != 0 ? POLLOUT : 0) |
                            ((events & PA_IO_EVENT_HANGUP) != 0 ? POLLHUP : 0) |
                            ((events & PA_IO_EVENT_ERROR) != 0 ? POLLERR : 0));
}

pa_io_event_flags_t IoEvents(short revents) {
  return static_cast<pa_io_event_flags_t>(
      ((revents & POLLIN) != 0 ? PA_IO_EVENT_INPUT : 0) |
      ((revents & POLLOUT) != 0 ? PA_IO_EVENT_OUTPUT : 0) |
      ((revents & POLLHUP) != 0 ? PA_IO_EVENT_HANGUP : 0) |
      ((revents & (POLLERR | POLLNVAL)) != 0 ? PA_IO_EVENT_ERROR : 0));
}

// libpulse hands a loop that is not its own the time of day; the loop keeps to the monotonic
// clock, so a step of the clock after the timer was set does not move it.
pa_usec_t Deadline(const timeval* when) {
  timeval now_of_day{};
  pa_gettimeofday(&now_of_day);
  const pa_usec_t now = pa_rtclock_now();
  if (pa_timeval_cmp(when, &now_of_day) <= 0) return now;
  return now + pa_timeval_diff(when, &now_of_day);
}

timespec Span(pa_usec_t usec) {
  return {static_cast<std::time_t>(usec / PA_USEC_PER_SEC),
          static_cast<long>(usec % PA_USEC_PER_SEC * PA_NSEC_PER_USEC)};
}

// Ends a freed event's life as libpulse expects: its destroy callback, at once. It needs no
// wake-up: at worst the loop wakes for it and finds it gone.
template <typename Event>
void Free(Event* event) {
  event->dead = true;
  if (event->destroy != nullptr) event->destroy(event->loop->api(), event, event->userdata);
}

// Drops the dead events, or all, freeing those still alive.
template <typename Event>
void Drop(std::vector<std::unique_ptr<Event>>& events, bool all) {
  std::erase_if(events, [all](const std::unique_ptr<Event>& event) {
    if (all && !event->dead) Free(event.get());
    return event->dead;
  });
}

}  // namespace

// The table libpulse calls through, always with the lock held.
struct LoopCalls {
  template <typename Event>
  static void SetDestroy(Event* event, decltype(Event::destroy) destroy) {
    event->destroy = destroy;
  }

  static SoundThread* Loop(pa_mainloop_api* api) {
    return static_cast<SoundThread*>(api->userdata);
  }

  static pa_io_event* IoNew(pa_mainloop_api* api, int fd, pa_io_event_flags_t events,
                            pa_io_event_cb_t callback, void* userdata) {
    SoundThread* loop = Loop(api);
    loop->io_events_.push_back(
        std::make_unique<pa_io_event>(pa_io_event{{loop, callback, userdata}, fd, events}));
    loop->Changed();
    return loop->io_events_.back().get();
  }
  static void IoEnable(pa_io_event* event, pa_io_event_flags_t events) {
    if (event->events == events) return;
    event->events = events;
    event->loop->Changed();
  }

  static pa_time_event* TimeNew(pa_mainloop_api* api, const timeval* when,
                                pa_time_event_cb_t callback, void* userdata) {
    SoundThread* loop = Loop(api);
    loop->time_events_.push_back(
        std::make_unique<pa_time_event>(pa_time_event{{loop, callback, userdata}, {}, 0, false}));
    pa_time_event* event = loop->time_events_.back().get();
    TimeRestart(event, when);
    return event;
  }
  static void TimeRestart(pa_time_event* event, const timeval* when) {
    event->enabled = when != nullptr;
    if (when == nullptr) return;
    event->when = *when;
    event->deadline = Deadline(when);
    event->loop->Changed(event->deadline);
  }

  static pa_defer_event* DeferNew(pa_mainloop_api* api, pa_defer_event_cb_t callback,
                                  void* userdata) {
    SoundThread* loop = Loop(api);
    loop->defer_events_.push_back(
        std::make_unique<pa_defer_event>(pa_defer_event{{loop, callback, userdata}, true}));
    loop->Changed();
    return loop->defer_events_.back().get();
  }
  static void DeferEnable(pa_defer_event* event, int enable) {
    event->enabled = enable != 0;
    if (event->enabled) event->loop->Changed();
  }

  static void Quit(pa_mainloop_api* api, int /*retval*/) {
    SoundThread* loop = Loop(api);
    loop->quit_ = true;
    loop->Changed();
  }
};

SoundThread::SoundThread()
    : api_{.userdata = this,
           .io_new = LoopCalls::IoNew,
           .io_enable = LoopCalls::IoEnable,
           .io_free = Free<pa_io_event>,
           .io_set_destroy = LoopCalls::SetDestroy<pa_io_event>,
           .time_new = LoopCalls::TimeNew,
           .time_restart = LoopCalls::TimeRestart,
           .time_free = Free<pa_time_event>,
           .time_set_destroy = LoopCalls::SetDestroy<pa_time_event>,
           .defer_new = LoopCalls::DeferNew,
           .defer_enable = LoopCalls::DeferEnable,
           .defer_free = Free<pa_defer_event>,
           .defer_set_destroy = LoopCalls::SetDestroy<pa_defer_event>,
           .quit = LoopCalls::Quit},
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SoundThread::~SoundThread() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      Changed();
    }
    thread_.join();
  }
  Drop(io_events_, true);
  Drop(time_events_, true);
  Drop(defer_events_, true);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool SoundThread::Start() {
  if (wake_fd_ < 0) return false;
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
  Changed();
}

// Only another thread can take the lock while the loop waits; the loop's own changes are seen
// on its next turn anyway, and need no wake-up. Nor does a freed event, or a timer due after
// the wait ends: the application closes and opens the device at every block, and with it
// frees and makes a watchdog timer that is due seconds later.
void SoundThread::Changed(pa_usec_t due) {
  if (!waiting_ || wake_pending_ || due >= wait_deadline_) return;
  wake_pending_ = true;
  eventfd_write(wake_fd_, 1);
}

void SoundThread::Run() {
  pthread_setname_np(pthread_self(), "sound-input");
  std::unique_lock lock(mutex_);
  std::vector<pollfd> fds;
  std::vector<pa_io_event*> polled;  // beside fds[1...]
  while (!quit_) {
    Sweep();
    if (DispatchDefers()) continue;
    fds.assign(1, {wake_fd_, POLLIN, 0});
    polled.clear();
    for (const auto& event : io_events_) {
      if (event->dead || event->events == PA_IO_EVENT_NULL) continue;
      fds.push_back({event->fd, PollEvents(event->events), 0});
      polled.push_back(event.get());
    }
    const pa_usec_t deadline = NextDeadline();
    const pa_usec_t pace = pace_;
    wait_deadline_ = deadline;
    waiting_ = true;
    lock.unlock();
    Wait(fds, deadline, pace);
    lock.lock();
    waiting_ = false;
    if (fds[0].revents != 0) {
      eventfd_t count = 0;
      eventfd_read(wake_fd_, &count);
      wake_pending_ = false;
    }
    DispatchTimers();
    for (std::size_t i = 0; i < polled.size() && !quit_; ++i) {
      pa_io_event* event = polled[i];
      if (event->dead || fds[i + 1].revents == 0) continue;
      event->callback(&api_, event, event->fd, IoEvents(fds[i + 1].revents), event->userdata);
    }
  }
}

void SoundThread::Wait(std::vector<pollfd>& fds, pa_usec_t deadline, pa_usec_t pace) {
  // libpulse reads one packet per callback, and a server may send a fragment in several: a
  // paced wake goes on turning, without waiting, until nothing is left. Else the stream would
  // be read at a fraction of its rate, ever further behind.
  if (pace > 0 && poll(fds.data(), fds.size(), 0) != 0) return;
  pa_usec_t now = pa_rtclock_now();
  // A little past the pace, as a fragment comes a little early or late: a wake just before it
  // would wait for it a second time.
  const pa_usec_t wake = last_wake_ + pace + pace / 32;
  if (pace > 0 && wake > now) {
    const timespec pause = Span(wake - now);
    if (ppoll(fds.data(), 1, &pause, nullptr) != 0) return;  // woken, or a signal
    now = pa_rtclock_now();
  }
  const timespec timeout = Span(deadline > now ? deadline - now : 0);
  ppoll(fds.data(), fds.size(), deadline == PA_USEC_INVALID ? nullptr : &timeout, nullptr);
  last_wake_ = pa_rtclock_now();
}

void SoundThread::Sweep() {
  Drop(io_events_, false);
  Drop(time_events_, false);
  Drop(defer_events_, false);
}

bool SoundThread::DispatchDefers() {
  bool ran = false;
  const std::size_t count = defer_events_.size();  // not those made meanwhile
  for (std::size_t i = 0; i < count && !quit_; ++i) {
    pa_defer_event* event = defer_events_[i].get();
    if (event->dead || !event->enabled) continue;
    ran = true;
    event->callback(&api_, event, event->userdata);
  }
  return ran;
}

// Timers that fell due during one wait fire earliest first, each once, whatever order they were
// made in; a callback may free, stop or move one not yet fired.
void SoundThread::DispatchTimers() {
  const pa_usec_t now = pa_rtclock_now();
  due_.clear();
  for (const auto& event : time_events_) {
    if (!event->dead && event->enabled && event->deadline <= now) due_.push_back(event.get());
  }
  std::stable_sort(due_.begin(), due_.end(), [](const pa_time_event* a, const pa_time_event* b) {
    return a->deadline < b->deadline;
  });
  for (pa_time_event* event : due_) {
    if (quit_) return;
    if (event->dead || !event->enabled || event->deadline > now) continue;
    event->enabled = false;
    const timeval when = event->when;
    event->callback(&api_, event, &when, event->userdata);
  }
}

pa_usec_t SoundThread::NextDeadline() const {
  pa_usec_t next = PA_USEC_INVALID;
  for (const auto& event : time_events_) {
    if (!event->dead && event->enabled) next = std::min(next, event->deadline);
  }
  return next;
}

}  // namespace quorvane::wavein
