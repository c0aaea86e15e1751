// Device 0 over a PulseAudio server, with libpulse's asynchronous API on a threaded main loop.
//
// The application thread makes every call while holding the main loop's lock; libpulse runs
// our callbacks on the main loop's thread with that same lock held, so the queue, the stream
// and the context are only ever touched under it. The application polls the done bit without
// the lock; BufferQueue publishes it with release ordering.
//
// Faults never leave a buffer hanging: a lost connection or a removed source completes the
// queued buffers at once, and a source that is running but sends nothing for three buffer
// periods is taken for a hung server and completes them too. Either way the device keeps the
// fault and returns it from waveInStart/waveInAddBuffer, and its connection is not reused.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "capture/wave_driver.h"

namespace quorvane::wavein {

namespace {

constexpr pa_usec_t kOpenTimeout = 2 * PA_USEC_PER_SEC;
constexpr pa_usec_t kSilenceFloor = 500 * PA_USEC_PER_MSEC;
// How long the server gets to say whether a silent source is suspended.
constexpr pa_usec_t kAnswerTime = 300 * PA_USEC_PER_MSEC;
// How long a closed device's stream may stay on the server waiting for the next open.
constexpr pa_usec_t kStreamHandover = 100 * PA_USEC_PER_MSEC;
constexpr std::uint32_t kBytesPerSecond = 44100;
constexpr char kClientName[] = "Quorvane Spectrum";

std::string ServerReason(int error) {
  return pa_strerror(error);
}

std::string Seconds(pa_usec_t usec) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(usec) / PA_USEC_PER_SEC);
  return text;
}

class PulseDevice;

class PulseDriver : public Driver, public std::enable_shared_from_this<PulseDriver> {
 public:
  PulseDriver(int keep_connection_ms, int fragment_ms)
      : keep_connection_(static_cast<pa_usec_t>(keep_connection_ms) * PA_USEC_PER_MSEC),
        fragment_bytes_(static_cast<std::uint32_t>(fragment_ms) * kBytesPerSecond / 1000) {}
  ~PulseDriver() override;

  MMRESULT Open(std::unique_ptr<Device>& device) override;

  // From PulseDevice::Close, on the application thread.
  void DeviceClosed(bool healthy);

  // Takes over a healthy stream at close (lock held): it stays connected, its sound ignored,
  // until the next open takes it back or kStreamHandover passes. Every block closes and opens
  // the device; carrying the stream over spares a new stream each time, and sound flows into
  // the next buffer the moment it is queued, so little is lost between blocks.
  void Retire(pa_stream* stream, const std::string& source);
  void DropRetired();
  // The retired stream, when it still records from `source`; the caller owns it from now on.
  pa_stream* TakeRetired(const std::string& source);

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  void MarkBroken() { broken_ = true; }

 private:
  // Waits (lock held) until `done` or the deadline; false on time-out.
  bool WaitUntil(pa_usec_t deadline, const std::function<bool()>& done);
  MMRESULT Connect(pa_usec_t deadline);
  // Device 0's source name; `cached` when it came from an earlier open on this connection.
  MMRESULT FindSource(pa_usec_t deadline, std::string& name, bool& cached);
  void DropContext();
  void FreeMainloop();
  void ArmKeepTimer();
  void CancelKeepTimer();

  static void OnContextState(pa_context* context, void* userdata);
  static void OnSourceEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                            void* userdata);
  static void OnKeepExpired(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
  static void OnRetiredExpired(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);

  std::mutex open_mutex_;  // one open or close at a time
  const pa_usec_t keep_connection_;
  const std::uint32_t fragment_bytes_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  // Under the main loop's lock from here on.
  pa_context* context_ = nullptr;
  bool broken_ = false;
  // Device 0 as last looked up; forgotten when a source comes or goes.
  bool source_known_ = false;
  std::string source_name_;
  pa_time_event* keep_timer_ = nullptr;
  pa_stream* retired_ = nullptr;
  std::string retired_source_;
  pa_time_event* retired_timer_ = nullptr;
  PulseDevice* device_ = nullptr;

  friend class PulseDevice;
};

class PulseDevice : public Device {
 public:
  explicit PulseDevice(std::shared_ptr<PulseDriver> driver) : driver_(std::move(driver)) {}
  ~PulseDevice() override {
    if (stream_ == nullptr && watchdog_ == nullptr) return;
    // The main loop's lock is recursive, so this is safe from under it as well.
    pa_threaded_mainloop_lock(driver_->mainloop());
    Release();
    pa_threaded_mainloop_unlock(driver_->mainloop());
  }

  // Creates the record stream on `source`; lock held.
  MMRESULT Connect(const std::string& source, std::uint32_t fragment_bytes, pa_usec_t deadline,
                   bool& connection_lost);
  // The stream records from `source`: watch it from now on.
  MMRESULT Connected(const std::string& source, pa_context* context);

  MMRESULT Start() override;
  MMRESULT Stop() override;
  MMRESULT Reset() override;
  MMRESULT AddBuffer(WAVEHDR* header) override;
  bool HasQueued() override;
  void Close() override;

  // The connection is gone; lock held, on the main loop's thread.
  void Fault(MMRESULT code, std::string detail);

 private:
  void Release();
  MMRESULT StoredFault() const { return Fail(fault_, fault_detail_); }
  pa_usec_t SilenceLimit() const;
  void Progress() { last_progress_ = pa_rtclock_now(); }

  static void OnStreamState(pa_stream* stream, void* userdata);
  static void OnRead(pa_stream* stream, std::size_t bytes, void* userdata);
  static void OnSuspended(pa_stream* stream, void* userdata);
  static void OnWatchdog(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
  // Before calling a silent source hung: is it, or a source it is made from, suspended?
  void AskWhetherSuspended(const char* source);
  static void OnSourceState(pa_context*, const pa_source_info* info, int eol, void* userdata);

  std::shared_ptr<PulseDriver> driver_;
  pa_stream* stream_ = nullptr;
  pa_time_event* watchdog_ = nullptr;
  std::string source_;
  pa_operation* asking_ = nullptr;  // the suspension question in flight
  pa_usec_t asked_at_ = 0;
  int ask_depth_ = 0;
  BufferQueue queue_;
  bool started_ = false;
  bool suspended_ = false;
  pa_usec_t last_progress_ = 0;
  bool connected_ = false;  // the stream was ready; a fault now taints the connection
  MMRESULT fault_ = MMSYSERR_NOERROR;
  std::string fault_detail_;
};

// ---- Driver ------------------------------------------------------------------------------

PulseDriver::~PulseDriver() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_lock(mainloop_);
  CancelKeepTimer();
  DropContext();
  pa_threaded_mainloop_unlock(mainloop_);
  FreeMainloop();
}

bool PulseDriver::WaitUntil(pa_usec_t deadline, const std::function<bool()>& done) {
  if (done()) return true;
  struct Alarm {
    pa_threaded_mainloop* mainloop;
    bool rang = false;
  } alarm{mainloop_, false};
  pa_time_event* timer = pa_context_rttime_new(
      context_, deadline,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* a = static_cast<Alarm*>(userdata);
        a->rang = true;
        pa_threaded_mainloop_signal(a->mainloop, 0);
      },
      &alarm);
  if (timer == nullptr) return false;
  while (!done() && !alarm.rang) pa_threaded_mainloop_wait(mainloop_);
  pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  return done();
}

void PulseDriver::OnContextState(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    self->broken_ = true;
    if (self->device_ != nullptr) {
      self->device_->Fault(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                                  ServerReason(pa_context_errno(context)) + ".");
    }
  }
  pa_threaded_mainloop_signal(self->mainloop_, 0);
}

MMRESULT PulseDriver::Connect(pa_usec_t deadline) {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  pa_proplist* properties = pa_proplist_new();
  if (properties == nullptr) return Fail(MMSYSERR_NOMEM);
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  context_ = pa_context_new_with_proplist(api, kClientName, properties);
  pa_proplist_free(properties);
  if (context_ == nullptr) return Fail(MMSYSERR_NOMEM);
  broken_ = false;
  pa_context_set_state_callback(context_, OnContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return Fail(MMSYSERR_BADDEVICEID,
                "Sound server: " + ServerReason(pa_context_errno(context_)) + ".");
  }
  const bool settled = WaitUntil(deadline, [this] {
    const pa_context_state_t state = pa_context_get_state(context_);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (!settled) {
    return Fail(MMSYSERR_NODRIVER,
                "The sound server did not answer within " + Seconds(kOpenTimeout) + " seconds.");
  }
  if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
    // Hear of sources coming and going, so later opens can skip looking device 0 up.
    source_known_ = false;
    pa_context_set_subscribe_callback(context_, OnSourceEvent, this);
    if (pa_operation* operation =
            pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr)) {
      pa_operation_unref(operation);
    }
    return MMSYSERR_NOERROR;
  }
  const int error = pa_context_errno(context_);
  const std::string detail = "Sound server: " + ServerReason(error) + ".";
  switch (error) {
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_INVALIDSERVER:
    case PA_ERR_NOENTITY:
      return Fail(MMSYSERR_BADDEVICEID, detail);
    case PA_ERR_TIMEOUT:
      return Fail(MMSYSERR_NODRIVER, detail);
    case PA_ERR_ACCESS:
    case PA_ERR_AUTHKEY:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_BUSY:
      return Fail(MMSYSERR_ALLOCATED, detail);
    default:
      return Fail(MMSYSERR_ERROR, detail);
  }
}

void PulseDriver::OnSourceEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                                void* userdata) {
  const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    static_cast<PulseDriver*>(userdata)->source_known_ = false;
  }
}

MMRESULT PulseDriver::FindSource(pa_usec_t deadline, std::string& name, bool& cached) {
  cached = source_known_;
  if (source_known_) {
    name = source_name_;
    return MMSYSERR_NOERROR;
  }
  struct Search {
    pa_threaded_mainloop* mainloop;
    bool finished = false;
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
  } search{mainloop_, false, PA_INVALID_INDEX, {}};
  pa_operation* operation = pa_context_get_source_info_list(
      context_,
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* s = static_cast<Search*>(userdata);
        if (eol != 0) {
          s->finished = true;
          pa_threaded_mainloop_signal(s->mainloop, 0);
          return;
        }
        // Monitors of outputs are not inputs; the first real input by index is device 0.
        if (info->monitor_of_sink == PA_INVALID_INDEX &&
            (s->index == PA_INVALID_INDEX || info->index < s->index)) {
          s->index = info->index;
          s->name = info->name;
        }
      },
      &search);
  if (operation == nullptr) {
    return Fail(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                       ServerReason(pa_context_errno(context_)) + ".");
  }
  const bool finished = WaitUntil(deadline, [&] {
    return search.finished || pa_operation_get_state(operation) != PA_OPERATION_RUNNING;
  });
  pa_operation_cancel(operation);  // the callback must not see `search` once we return
  pa_operation_unref(operation);
  if (!finished) {
    return Fail(MMSYSERR_NODRIVER,
                "The sound server did not answer within " + Seconds(kOpenTimeout) + " seconds.");
  }
  if (!search.finished) {
    return Fail(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                       ServerReason(pa_context_errno(context_)) + ".");
  }
  if (search.index == PA_INVALID_INDEX) {
    return Fail(MMSYSERR_BADDEVICEID, "The sound server has no input source.");
  }
  name = search.name;
  source_name_ = search.name;
  source_known_ = true;
  return MMSYSERR_NOERROR;
}

void PulseDriver::Retire(pa_stream* stream, const std::string& source) {
  DropRetired();
  retired_source_ = source;
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_suspended_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(
      stream,
      [](pa_stream* s, std::size_t, void*) {
        const void* data;
        std::size_t bytes;
        while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) pa_stream_drop(s);
      },
      nullptr);
  retired_ = stream;
  retired_timer_ =
      pa_context_rttime_new(context_, pa_rtclock_now() + kStreamHandover, OnRetiredExpired, this);
}

pa_stream* PulseDriver::TakeRetired(const std::string& source) {
  if (retired_ == nullptr || retired_source_ != source ||
      pa_stream_get_state(retired_) != PA_STREAM_READY) {
    return nullptr;
  }
  if (retired_timer_ != nullptr) {
    pa_threaded_mainloop_get_api(mainloop_)->time_free(retired_timer_);
    retired_timer_ = nullptr;
  }
  return std::exchange(retired_, nullptr);
}

void PulseDriver::DropRetired() {
  if (retired_timer_ != nullptr) {
    pa_threaded_mainloop_get_api(mainloop_)->time_free(retired_timer_);
    retired_timer_ = nullptr;
  }
  if (retired_ == nullptr) return;
  pa_stream_set_read_callback(retired_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(retired_))) pa_stream_disconnect(retired_);
  pa_stream_unref(retired_);
  retired_ = nullptr;
}

void PulseDriver::OnRetiredExpired(pa_mainloop_api*, pa_time_event*, const timeval*,
                                   void* userdata) {
  static_cast<PulseDriver*>(userdata)->DropRetired();
}

void PulseDriver::DropContext() {
  DropRetired();
  if (context_ == nullptr) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  broken_ = false;
  source_known_ = false;
}

void PulseDriver::FreeMainloop() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
  mainloop_ = nullptr;
}

void PulseDriver::ArmKeepTimer() {
  CancelKeepTimer();
  keep_timer_ =
      pa_context_rttime_new(context_, pa_rtclock_now() + keep_connection_, OnKeepExpired, this);
}

void PulseDriver::CancelKeepTimer() {
  if (keep_timer_ == nullptr) return;
  pa_threaded_mainloop_get_api(mainloop_)->time_free(keep_timer_);
  keep_timer_ = nullptr;
}

void PulseDriver::OnKeepExpired(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  self->CancelKeepTimer();
  if (self->device_ == nullptr) self->DropContext();
}

MMRESULT PulseDriver::Open(std::unique_ptr<Device>& device) {
  std::lock_guard open_lock(open_mutex_);
  const pa_usec_t deadline = pa_rtclock_now() + kOpenTimeout;
  if (mainloop_ == nullptr) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) return Fail(MMSYSERR_NOMEM);
    pa_threaded_mainloop_set_name(mainloop_, "sound-input");
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
      pa_threaded_mainloop_free(mainloop_);
      mainloop_ = nullptr;
      return Fail(MMSYSERR_NOMEM, "Cannot start the sound input thread.");
    }
  }
  pa_threaded_mainloop_lock(mainloop_);
  if (device_ != nullptr) {
    pa_threaded_mainloop_unlock(mainloop_);
    return Fail(MMSYSERR_ALLOCATED, "Device 0 is already open.");
  }
  CancelKeepTimer();
  bool reused =
      context_ != nullptr && !broken_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
  if (!reused) DropContext();

  auto opened = std::make_unique<PulseDevice>(shared_from_this());
  MMRESULT result = MMSYSERR_NOERROR;
  for (bool retried = false;; retried = true) {
    if (context_ == nullptr) result = Connect(deadline);
    std::string source;
    bool cached = false;
    if (result == MMSYSERR_NOERROR) result = FindSource(deadline, source, cached);
    bool connection_lost = false;
    if (result == MMSYSERR_NOERROR) {
      device_ = opened.get();
      result = opened->Connect(source, fragment_bytes_, deadline, connection_lost);
    }
    if (result == MMSYSERR_NOERROR) break;
    device_ = nullptr;
    connection_lost = connection_lost || context_ == nullptr ||
                      pa_context_get_state(context_) != PA_CONTEXT_READY;
    if (retried || pa_rtclock_now() >= deadline) break;
    if (reused && connection_lost) {
      // A kept connection may have died unnoticed (a restarted server): connect afresh.
      DropContext();
      reused = false;
    } else if (cached && !connection_lost) {
      source_known_ = false;  // the source went away before we heard of it
    } else {
      break;
    }
    opened = std::make_unique<PulseDevice>(shared_from_this());
    result = MMSYSERR_NOERROR;
  }
  if (result != MMSYSERR_NOERROR) {
    opened.reset();
    DropContext();
    pa_threaded_mainloop_unlock(mainloop_);
    FreeMainloop();
    return result;
  }
  pa_threaded_mainloop_unlock(mainloop_);
  device = std::move(opened);
  return MMSYSERR_NOERROR;
}

void PulseDriver::DeviceClosed(bool healthy) {
  // Called with the lock held, after the stream is gone.
  device_ = nullptr;
  if (healthy && !broken_ && keep_connection_ > 0 && context_ != nullptr &&
      pa_context_get_state(context_) == PA_CONTEXT_READY) {
    ArmKeepTimer();
  } else {
    DropContext();
  }
}

// ---- Device ------------------------------------------------------------------------------

MMRESULT PulseDevice::Connect(const std::string& source, std::uint32_t fragment_bytes,
                              pa_usec_t deadline, bool& connection_lost) {
  pa_context* context = driver_->context();
  if (pa_stream* kept = driver_->TakeRetired(source)) {
    stream_ = kept;
    pa_stream_set_state_callback(stream_, OnStreamState, this);
    pa_stream_set_read_callback(stream_, OnRead, this);
    pa_stream_set_suspended_callback(stream_, OnSuspended, this);
    return Connected(source, context);
  }
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = 22050;
  spec.channels = 1;
  pa_channel_map map;
  pa_channel_map_init_mono(&map);
  stream_ = pa_stream_new(context, "Spectrum input", &spec, &map);
  if (stream_ == nullptr) {
    connection_lost = pa_context_get_state(context) != PA_CONTEXT_READY;
    return Fail(MMSYSERR_NOMEM, "Sound server: " + ServerReason(pa_context_errno(context)) + ".");
  }
  pa_stream_set_state_callback(stream_, OnStreamState, this);
  pa_stream_set_read_callback(stream_, OnRead, this);
  pa_stream_set_suspended_callback(stream_, OnSuspended, this);

  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = std::max<std::uint32_t>(fragment_bytes & ~1u, 2);
  // Never let the server move us to another source: a vanished input is a fault.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  // The previous block's stream leaves just as this one arrives.
  driver_->DropRetired();
  if (pa_stream_connect_record(stream_, source.c_str(), &attributes, flags) < 0) {
    connection_lost = pa_context_get_state(context) != PA_CONTEXT_READY;
    return Fail(MMSYSERR_ERROR, "Sound server: " + ServerReason(pa_context_errno(context)) + ".");
  }
  const bool settled = driver_->WaitUntil(deadline, [this] {
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  });
  if (!settled) {
    return Fail(MMSYSERR_NODRIVER,
                "The sound server did not answer within " + Seconds(kOpenTimeout) + " seconds.");
  }
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
    connection_lost = pa_context_get_state(context) != PA_CONTEXT_READY;
    const int error = pa_context_errno(context);
    const std::string detail = "Sound server: " + ServerReason(error) + ".";
    switch (error) {
      case PA_ERR_NOENTITY:
        return Fail(MMSYSERR_BADDEVICEID, detail);
      case PA_ERR_ACCESS:
      case PA_ERR_BUSY:
      case PA_ERR_EXIST:
      case PA_ERR_TOOLARGE:
        return Fail(MMSYSERR_ALLOCATED, detail);
      default:
        return Fail(connection_lost ? MMSYSERR_NODRIVER : MMSYSERR_ERROR, detail);
    }
  }
  return Connected(source, context);
}

MMRESULT PulseDevice::Connected(const std::string& source, pa_context* context) {
  suspended_ = pa_stream_is_suspended(stream_) > 0;
  connected_ = true;
  Progress();
  source_ = source;
  watchdog_ = pa_context_rttime_new(context, pa_rtclock_now() + kSilenceFloor, OnWatchdog, this);
  return MMSYSERR_NOERROR;
}

void PulseDevice::Release() {
  // Lock held (or the stream never reached the main loop).
  if (asking_ != nullptr) {
    pa_operation_cancel(asking_);
    pa_operation_unref(asking_);
    asking_ = nullptr;
  }
  if (watchdog_ != nullptr) {
    pa_threaded_mainloop_get_api(driver_->mainloop())->time_free(watchdog_);
    watchdog_ = nullptr;
  }
  if (stream_ != nullptr) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
}

MMRESULT PulseDevice::Start() {
  pa_threaded_mainloop_lock(driver_->mainloop());
  const MMRESULT result = fault_ != MMSYSERR_NOERROR ? StoredFault() : MMSYSERR_NOERROR;
  if (result == MMSYSERR_NOERROR && !started_) {
    started_ = true;
    Progress();
  }
  pa_threaded_mainloop_unlock(driver_->mainloop());
  return result;
}

MMRESULT PulseDevice::Stop() {
  pa_threaded_mainloop_lock(driver_->mainloop());
  started_ = false;
  if (!queue_.empty() && queue_.head()->dwBytesRecorded > 0) queue_.CompleteHead();
  pa_threaded_mainloop_unlock(driver_->mainloop());
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::Reset() {
  pa_threaded_mainloop_lock(driver_->mainloop());
  started_ = false;
  queue_.CompleteAll();
  pa_threaded_mainloop_unlock(driver_->mainloop());
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::AddBuffer(WAVEHDR* header) {
  pa_threaded_mainloop_lock(driver_->mainloop());
  MMRESULT result = MMSYSERR_NOERROR;
  if (fault_ != MMSYSERR_NOERROR) {
    result = StoredFault();
  } else {
    if (queue_.empty()) Progress();
    queue_.Add(header);
  }
  pa_threaded_mainloop_unlock(driver_->mainloop());
  return result;
}

bool PulseDevice::HasQueued() {
  pa_threaded_mainloop_lock(driver_->mainloop());
  const bool queued = !queue_.empty();
  pa_threaded_mainloop_unlock(driver_->mainloop());
  return queued;
}

void PulseDevice::Close() {
  pa_threaded_mainloop* mainloop = driver_->mainloop();
  pa_threaded_mainloop_lock(mainloop);
  if (fault_ == MMSYSERR_NOERROR && driver_->keep_connection_ > 0 && !driver_->broken_ &&
      stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY) {
    driver_->Retire(std::exchange(stream_, nullptr), source_);
  }
  Release();
  driver_->DeviceClosed(fault_ == MMSYSERR_NOERROR);
  const bool keep = driver_->context() != nullptr;
  pa_threaded_mainloop_unlock(mainloop);
  if (!keep) driver_->FreeMainloop();
}

void PulseDevice::Fault(MMRESULT code, std::string detail) {
  if (fault_ == MMSYSERR_NOERROR) {
    fault_ = code;
    fault_detail_ = std::move(detail);
  }
  started_ = false;
  queue_.CompleteAll();
  if (connected_) driver_->MarkBroken();
}

pa_usec_t PulseDevice::SilenceLimit() const {
  const WAVEHDR* head = queue_.head();
  const pa_usec_t period =
      head == nullptr ? 0 : pa_usec_t{head->dwBufferLength} * PA_USEC_PER_SEC / kBytesPerSecond;
  return std::max(3 * period, kSilenceFloor);
}

void PulseDevice::OnStreamState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    pa_context* context = pa_stream_get_context(stream);
    const int error = pa_context_errno(context);
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
      self->Fault(MMSYSERR_NODRIVER,
                  "Lost the connection to the sound server: " + ServerReason(error) + ".");
    } else if (error == PA_ERR_KILLED || error == PA_ERR_NOENTITY) {
      self->Fault(MMSYSERR_NODRIVER, "The input source was removed: " + ServerReason(error) + ".");
    } else {
      self->Fault(MMSYSERR_ERROR, "Sound server: " + ServerReason(error) + ".");
    }
  }
  pa_threaded_mainloop_signal(self->driver_->mainloop(), 0);
}

void PulseDevice::OnRead(pa_stream* stream, std::size_t, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    // Sound that arrives with nowhere to go is lost, as with any single-buffer device.
    if (self->started_ && !self->queue_.empty() && self->fault_ == MMSYSERR_NOERROR) {
      if (self->queue_.Fill(data, bytes) > 0) self->Progress();
    }
    pa_stream_drop(stream);
  }
}

void PulseDevice::OnSuspended(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  self->suspended_ = pa_stream_is_suspended(stream) > 0;
  // Waiting out a suspension is not silence.
  if (!self->suspended_) self->Progress();
}

void PulseDevice::OnWatchdog(pa_mainloop_api* api, pa_time_event* event, const timeval*,
                             void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  const pa_usec_t now = pa_rtclock_now();
  const pa_usec_t limit = self->SilenceLimit();
  pa_usec_t next = now + limit;
  if (self->started_ && !self->queue_.empty() && !self->suspended_ &&
      self->fault_ == MMSYSERR_NOERROR) {
    const pa_usec_t silent = now - self->last_progress_;
    if (silent < limit) {
      next = self->last_progress_ + limit;
    } else if (self->asking_ == nullptr) {
      // A source fed by a suspended sink or source is not suspended itself: ask first.
      self->ask_depth_ = 0;
      self->asked_at_ = now;
      self->AskWhetherSuspended(self->source_.c_str());
      next = now + kAnswerTime;
    } else if (now - self->asked_at_ < kAnswerTime) {
      next = self->asked_at_ + kAnswerTime;
    } else {
      self->Fault(MMSYSERR_NODRIVER,
                  "No sound arrived from the sound server for " + Seconds(silent) + " seconds.");
      api->time_free(event);
      self->watchdog_ = nullptr;
      return;
    }
  }
  pa_context_rttime_restart(self->driver_->context(), event, next);
}

void PulseDevice::AskWhetherSuspended(const char* source) {
  if (asking_ != nullptr) pa_operation_unref(asking_);
  asking_ = pa_context_get_source_info_by_name(driver_->context(), source, OnSourceState, this);
}

void PulseDevice::OnSourceState(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  if (eol != 0 || info == nullptr) return;
  const bool suspended = info->state == PA_SOURCE_SUSPENDED;
  const char* master = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_MASTER_DEVICE);
  if (!suspended && master != nullptr && ++self->ask_depth_ < 8) {
    self->AskWhetherSuspended(master);
    return;
  }
  pa_operation_unref(self->asking_);
  self->asking_ = nullptr;
  const pa_usec_t silent = pa_rtclock_now() - self->last_progress_;
  if (suspended) {
    self->Progress();  // waiting out a suspension is not silence
  } else if (self->fault_ == MMSYSERR_NOERROR && silent >= self->SilenceLimit() && self->started_ &&
             !self->queue_.empty()) {
    self->Fault(MMSYSERR_NODRIVER,
                "No sound arrived from the sound server for " + Seconds(silent) + " seconds.");
  }
}

}  // namespace

std::shared_ptr<Driver> MakePulseDriver(int keep_connection_ms, int fragment_ms) {
  return std::make_shared<PulseDriver>(keep_connection_ms, fragment_ms);
}

}  // namespace quorvane::wavein
