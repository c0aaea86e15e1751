// Device 0 over a PulseAudio server (or PipeWire's pulse server), with libpulse's asynchronous
// API on a threaded main loop.
//
// The application thread makes every call while holding the main loop's lock; libpulse runs
// our callbacks on the main loop's thread with that same lock held, so everything below is only
// ever touched under it. The application polls the done bit without the lock; BufferQueue
// publishes it with release ordering.
//
// The driver has at most one record stream. It is prepared on the main loop's thread (connect,
// find device 0, create the stream: a chain of callbacks), handed to a device by an open, and
// kept ready after the close for the next open, so one block follows another without a new
// stream. An open waits for a preparation only briefly (except the very first, at start-up):
// against a slow or hung server it fails at once and the preparation goes on for the next try.
//
// Faults never leave a buffer hanging: a lost connection, a removed source or a source that is
// running but sends nothing for three buffer periods (a hung server) completes the queued
// buffers at once. The device keeps the fault and returns it from waveInStart/waveInAddBuffer,
// and its stream and connection are not reused.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/wave_driver.h"
#include "common/identity.h"

namespace quorvane::wavein {

namespace {

constexpr pa_usec_t kOpenTimeout = 2 * PA_USEC_PER_SEC;
constexpr pa_usec_t kSilenceFloor = 500 * PA_USEC_PER_MSEC;
// How long the server gets to say whether a silent source is suspended.
constexpr pa_usec_t kAnswerTime = 300 * PA_USEC_PER_MSEC;
// A stream that became ready after its open gave up waits this long for the next open.
constexpr pa_usec_t kPreparedKeep = 5 * PA_USEC_PER_SEC;
constexpr std::uint32_t kBytesPerSecond = 44100;
// Sound that arrived while no buffer was queued (between blocks) is kept, at most this much of
// it, the newest: the stream's pieces are larger than the gap between blocks, and what came
// after the gap goes into the next buffer.
constexpr std::size_t kCarryBytes = (kBytesPerSecond / 4) & ~std::size_t{1};

// Sound for a span of time, in whole samples.
std::size_t BytesIn(pa_usec_t usec) {
  return static_cast<std::size_t>(usec * kBytesPerSecond / PA_USEC_PER_SEC) & ~std::size_t{1};
}
constexpr char kClientName[] = "Quorvane Spectrum";
constexpr char kStreamName[] = "Spectrum input";

std::string ServerReason(int error) {
  return pa_strerror(error);
}

std::string Seconds(pa_usec_t usec) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(usec) / PA_USEC_PER_SEC);
  return text;
}

std::string NoAnswer() {
  return "The sound server did not answer within " + Seconds(kOpenTimeout) + " seconds.";
}

pa_proplist* Properties(const char* media_name) {
  pa_proplist* properties = pa_proplist_new();
  if (properties == nullptr) return nullptr;
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, kIconName);
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  if (media_name != nullptr) pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, media_name);
  return properties;
}

class PulseDevice;

class PulseDriver : public Driver, public std::enable_shared_from_this<PulseDriver> {
 public:
  explicit PulseDriver(const PulseWaveInputOptions& options)
      : keep_connection_(static_cast<pa_usec_t>(options.keep_connection_ms) * PA_USEC_PER_MSEC),
        open_wait_(static_cast<pa_usec_t>(options.open_wait_ms) * PA_USEC_PER_MSEC),
        fragment_bytes_(static_cast<std::uint32_t>(options.fragment_ms) * kBytesPerSecond / 1000) {}
  ~PulseDriver() override;

  MMRESULT Open(std::unique_ptr<Device>& device) override;

 private:
  friend class PulseDevice;
  enum class Preparing { No, Busy, Failed };

  bool WaitUntil(pa_usec_t deadline, const std::function<bool()>& done);
  pa_time_event* NewTimer(pa_usec_t delay, pa_time_event_cb_t callback);
  void FreeTimer(pa_time_event*& timer);

  void StartPreparing();
  void FindDeviceZero();
  void ListSources();
  void CreateStream(const std::string& source);
  void PreparationFailed(MMRESULT code, std::string detail);
  bool StreamUsable() const;
  // The stream stops working: its device (if any) gets the fault.
  void StreamLost(MMRESULT code, const std::string& detail);
  void Detach();
  void DropStream();
  void DropContext();
  void FreeMainloop();
  void DeviceClosed(bool healthy);
  void MarkBlockEnd();
  void ClearCarry();
  void Carry(const void* data, std::size_t bytes);
  void FeedFromCarry(BufferQueue& queue);

  static void OnContextState(pa_context* context, void* userdata);
  static void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata);
  static void OnDefaultSource(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnSourceListed(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnStreamState(pa_stream* stream, void* userdata);
  static void OnRead(pa_stream* stream, std::size_t, void* userdata);
  static void OnSuspended(pa_stream* stream, void* userdata);
  static void OnMoved(pa_stream* stream, void* userdata);
  static void OnOldSource(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnPreparationTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void*);
  static void OnIdle(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);

  std::mutex open_mutex_;  // one open or close at a time
  const pa_usec_t keep_connection_;
  const pa_usec_t open_wait_;
  const std::uint32_t fragment_bytes_;
  bool opened_before_ = false;
  pa_threaded_mainloop* mainloop_ = nullptr;
  // Under the main loop's lock from here on.
  pa_context* context_ = nullptr;
  bool context_was_ready_ = false;
  bool broken_ = false;  // the connection is not to be used again
  pa_stream* stream_ = nullptr;
  bool stream_lost_ = false;
  std::uint32_t stream_source_ = PA_INVALID_INDEX;
  pa_operation* old_source_query_ = nullptr;
  bool old_source_seen_ = false;
  Preparing preparing_ = Preparing::No;
  MMRESULT preparation_result_ = MMSYSERR_NOERROR;
  std::string preparation_detail_;
  pa_time_event* preparation_timer_ = nullptr;
  bool default_is_input_ = false;
  std::uint32_t lowest_index_ = PA_INVALID_INDEX;
  std::string lowest_name_;
  pa_time_event* idle_timer_ = nullptr;
  std::vector<char> carry_;
  // Since when no buffer has taken sound, and how much has arrived since (carried or not):
  // sound from then until the next buffer is queued is not recorded, as on any device that
  // is between buffers, so blocks stay apart by the time a restart takes.
  bool between_blocks_ = false;
  pa_usec_t block_end_ = 0;
  std::size_t since_block_end_ = 0;
  std::size_t skip_ = 0;  // of that gap, what has not arrived yet
  PulseDevice* device_ = nullptr;
};

class PulseDevice : public Device {
 public:
  explicit PulseDevice(std::shared_ptr<PulseDriver> driver) : driver_(std::move(driver)) {}
  ~PulseDevice() override;

  // Takes over the driver's ready stream; lock held.
  void Attach();

  MMRESULT Start() override;
  MMRESULT Stop() override;
  MMRESULT Reset() override;
  MMRESULT AddBuffer(WAVEHDR* header) override;
  bool HasQueued() override;
  void Close() override;

  // Lock held, on the main loop's thread.
  void Fault(MMRESULT code, std::string detail);
  // Takes what fits into the queued buffers; returns how many bytes.
  std::size_t Deliver(const void* data, std::size_t bytes);
  bool Taking() const { return started_ && !queue_.empty() && fault_ == MMSYSERR_NOERROR; }
  void SetSuspended(bool suspended) {
    suspended_ = suspended;
    // Waiting out a suspension is not silence.
    if (!suspended_) Progress();
  }

 private:
  void Release();
  MMRESULT StoredFault() const { return Fail(fault_, fault_detail_); }
  pa_usec_t SilenceLimit() const;
  void Progress() { last_progress_ = pa_rtclock_now(); }

  static void OnWatchdog(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
  // Before calling a silent source hung: is it, or a source it is made from, suspended?
  void AskWhetherSuspended(const char* source);
  static void OnSourceState(pa_context*, const pa_source_info* info, int eol, void* userdata);

  std::shared_ptr<PulseDriver> driver_;
  bool attached_ = false;
  pa_time_event* watchdog_ = nullptr;
  pa_operation* asking_ = nullptr;  // the suspension question in flight
  pa_usec_t asked_at_ = 0;
  int ask_depth_ = 0;
  BufferQueue queue_;
  bool started_ = false;
  bool suspended_ = false;
  pa_usec_t last_progress_ = 0;
  MMRESULT fault_ = MMSYSERR_NOERROR;
  std::string fault_detail_;
};

// ---- Driver ------------------------------------------------------------------------------

PulseDriver::~PulseDriver() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_lock(mainloop_);
  DropStream();
  DropContext();
  pa_threaded_mainloop_unlock(mainloop_);
  FreeMainloop();
}

pa_time_event* PulseDriver::NewTimer(pa_usec_t delay, pa_time_event_cb_t callback) {
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, delay);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  return api->time_new(api, &when, callback, this);
}

void PulseDriver::FreeTimer(pa_time_event*& timer) {
  if (timer == nullptr) return;
  pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  timer = nullptr;
}

bool PulseDriver::WaitUntil(pa_usec_t deadline, const std::function<bool()>& done) {
  if (done()) return true;
  const pa_usec_t now = pa_rtclock_now();
  if (now >= deadline) return false;
  struct Alarm {
    pa_threaded_mainloop* mainloop;
    bool rang = false;
  } alarm{mainloop_, false};
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, deadline - now);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  pa_time_event* timer = api->time_new(
      api, &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* a = static_cast<Alarm*>(userdata);
        a->rang = true;
        pa_threaded_mainloop_signal(a->mainloop, 0);
      },
      &alarm);
  if (timer == nullptr) return false;
  while (!done() && !alarm.rang) pa_threaded_mainloop_wait(mainloop_);
  api->time_free(timer);
  return done();
}

void PulseDriver::StartPreparing() {
  DropStream();
  const bool reuse =
      context_ != nullptr && !broken_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
  if (!reuse) DropContext();
  preparing_ = Preparing::Busy;
  preparation_result_ = MMSYSERR_NOERROR;
  preparation_detail_.clear();
  FreeTimer(preparation_timer_);
  preparation_timer_ = NewTimer(kOpenTimeout, OnPreparationTimeout);
  if (reuse) return FindDeviceZero();
  pa_proplist* properties = Properties(nullptr);
  if (properties != nullptr) {
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), kClientName,
                                            properties);
    pa_proplist_free(properties);
  }
  if (context_ == nullptr) return PreparationFailed(MMSYSERR_NOMEM, {});
  pa_context_set_state_callback(context_, OnContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    PreparationFailed(MMSYSERR_BADDEVICEID,
                      "Sound server: " + ServerReason(pa_context_errno(context_)) + ".");
  }
}

void PulseDriver::OnContextState(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (context != self->context_) return;
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    self->context_was_ready_ = true;
    if (self->preparing_ == Preparing::Busy && self->stream_ == nullptr) self->FindDeviceZero();
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    self->broken_ = true;
    const int error = pa_context_errno(context);
    const std::string detail = "Sound server: " + ServerReason(error) + ".";
    if (self->context_was_ready_) {
      self->StreamLost(MMSYSERR_NODRIVER,
                       "Lost the connection to the sound server: " + ServerReason(error) + ".");
      if (self->preparing_ == Preparing::Busy) {
        self->PreparationFailed(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                                       ServerReason(error) + ".");
      }
    } else if (self->preparing_ == Preparing::Busy) {
      switch (error) {
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_INVALIDSERVER:
        case PA_ERR_NOENTITY:
          self->PreparationFailed(MMSYSERR_BADDEVICEID, detail);
          break;
        case PA_ERR_TIMEOUT:
          self->PreparationFailed(MMSYSERR_NODRIVER, detail);
          break;
        case PA_ERR_ACCESS:
        case PA_ERR_AUTHKEY:
        case PA_ERR_CONNECTIONTERMINATED:
        case PA_ERR_BUSY:
          self->PreparationFailed(MMSYSERR_ALLOCATED, detail);
          break;
        default:
          self->PreparationFailed(MMSYSERR_ERROR, detail);
      }
    }
  }
  pa_threaded_mainloop_signal(self->mainloop_, 0);
}

// Device 0: the source PULSE_SOURCE names; else the server's default source unless it is a
// monitor; else the lowest-numbered source that is not a monitor.
void PulseDriver::FindDeviceZero() {
  const char* named = std::getenv("PULSE_SOURCE");
  if (named != nullptr && *named != '\0') return CreateStream(named);
  pa_operation* operation = pa_context_get_server_info(context_, OnServerInfo, this);
  if (operation == nullptr) {
    return PreparationFailed(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                                    ServerReason(pa_context_errno(context_)) + ".");
  }
  pa_operation_unref(operation);
}

void PulseDriver::OnServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (context != self->context_ || self->preparing_ != Preparing::Busy) return;
  self->default_is_input_ = false;
  if (info == nullptr || info->default_source_name == nullptr) return self->ListSources();
  pa_operation* operation =
      pa_context_get_source_info_by_name(context, info->default_source_name, OnDefaultSource, self);
  if (operation == nullptr) return self->ListSources();
  pa_operation_unref(operation);
}

void PulseDriver::OnDefaultSource(pa_context* context, const pa_source_info* info, int eol,
                                  void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (context != self->context_ || self->preparing_ != Preparing::Busy) return;
  if (eol == 0 && info != nullptr) {
    if (info->monitor_of_sink == PA_INVALID_INDEX) self->lowest_name_ = info->name;
    self->default_is_input_ = info->monitor_of_sink == PA_INVALID_INDEX;
    return;
  }
  if (self->default_is_input_) return self->CreateStream(self->lowest_name_);
  self->ListSources();
}

void PulseDriver::ListSources() {
  lowest_index_ = PA_INVALID_INDEX;
  lowest_name_.clear();
  pa_operation* operation = pa_context_get_source_info_list(context_, OnSourceListed, this);
  if (operation == nullptr) {
    return PreparationFailed(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                                    ServerReason(pa_context_errno(context_)) + ".");
  }
  pa_operation_unref(operation);
}

void PulseDriver::OnSourceListed(pa_context* context, const pa_source_info* info, int eol,
                                 void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (context != self->context_ || self->preparing_ != Preparing::Busy) return;
  if (eol == 0 && info != nullptr) {
    if (info->monitor_of_sink == PA_INVALID_INDEX &&
        (self->lowest_index_ == PA_INVALID_INDEX || info->index < self->lowest_index_)) {
      self->lowest_index_ = info->index;
      self->lowest_name_ = info->name;
    }
    return;
  }
  if (eol < 0) {
    return self->PreparationFailed(MMSYSERR_NODRIVER, "Lost the connection to the sound server: " +
                                                          ServerReason(pa_context_errno(context)) +
                                                          ".");
  }
  if (self->lowest_index_ == PA_INVALID_INDEX) {
    return self->PreparationFailed(MMSYSERR_BADDEVICEID, "The sound server has no input source.");
  }
  self->CreateStream(self->lowest_name_);
}

void PulseDriver::CreateStream(const std::string& source) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = 22050;
  spec.channels = 1;
  pa_channel_map map;
  pa_channel_map_init_mono(&map);
  pa_proplist* properties = Properties(kStreamName);
  if (properties != nullptr) {
    stream_ = pa_stream_new_with_proplist(context_, kStreamName, &spec, &map, properties);
    pa_proplist_free(properties);
  }
  if (stream_ == nullptr) {
    return PreparationFailed(MMSYSERR_NOMEM,
                             "Sound server: " + ServerReason(pa_context_errno(context_)) + ".");
  }
  stream_lost_ = false;
  ClearCarry();
  pa_stream_set_state_callback(stream_, OnStreamState, this);
  pa_stream_set_read_callback(stream_, OnRead, this);
  pa_stream_set_suspended_callback(stream_, OnSuspended, this);
  pa_stream_set_moved_callback(stream_, OnMoved, this);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  // A piece's sound past the end of a buffer is kept for the next one, so the fragment sets
  // how often we wake, not the gap between blocks.
  attributes.fragsize = std::max<std::uint32_t>(fragment_bytes_ & ~1u, 2);
  // Movable: the desktop's sound settings may point the running stream at another input.
  if (pa_stream_connect_record(stream_, source.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) <
      0) {
    PreparationFailed(MMSYSERR_ERROR,
                      "Sound server: " + ServerReason(pa_context_errno(context_)) + ".");
  }
}

void PulseDriver::PreparationFailed(MMRESULT code, std::string detail) {
  preparing_ = Preparing::Failed;
  preparation_result_ = code;
  preparation_detail_ = std::move(detail);
  FreeTimer(preparation_timer_);
  Detach();
  pa_threaded_mainloop_signal(mainloop_, 0);
}

void PulseDriver::OnPreparationTimeout(pa_mainloop_api*, pa_time_event*, const timeval*,
                                       void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  self->FreeTimer(self->preparation_timer_);
  if (self->preparing_ != Preparing::Busy) return;
  self->PreparationFailed(MMSYSERR_NODRIVER, NoAnswer());
  self->broken_ = true;
  self->DropStream();
  self->DropContext();
}

bool PulseDriver::StreamUsable() const {
  return stream_ != nullptr && !stream_lost_ && preparing_ != Preparing::Busy &&
         pa_stream_get_state(stream_) == PA_STREAM_READY;
}

void PulseDriver::StreamLost(MMRESULT code, const std::string& detail) {
  if (device_ != nullptr) device_->Fault(code, detail);
  Detach();
}

void PulseDriver::Detach() {
  if (stream_ == nullptr || stream_lost_) return;
  // Left for DropStream: we may be inside one of the stream's own callbacks.
  stream_lost_ = true;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
  pa_stream_set_moved_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
}

void PulseDriver::DropStream() {
  if (old_source_query_ != nullptr) {
    pa_operation_cancel(old_source_query_);
    pa_operation_unref(old_source_query_);
    old_source_query_ = nullptr;
  }
  ClearCarry();
  if (stream_ == nullptr) return;
  Detach();
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void PulseDriver::DropContext() {
  FreeTimer(idle_timer_);
  FreeTimer(preparation_timer_);
  if (preparing_ == Preparing::Busy) preparing_ = Preparing::No;
  if (context_ != nullptr) {
    DropStream();
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  context_was_ready_ = false;
  broken_ = false;
}

void PulseDriver::FreeMainloop() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
  mainloop_ = nullptr;
}

void PulseDriver::OnIdle(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  self->FreeTimer(self->idle_timer_);
  if (self->device_ == nullptr && self->preparing_ != Preparing::Busy) self->DropContext();
}

void PulseDriver::OnStreamState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (stream != self->stream_) return;
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    self->stream_source_ = pa_stream_get_device_index(stream);
    if (self->preparing_ == Preparing::Busy) {
      self->preparing_ = Preparing::No;
      self->FreeTimer(self->preparation_timer_);
    }
  } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    pa_context* context = pa_stream_get_context(stream);
    const int error = pa_context_errno(context);
    const bool connected = pa_context_get_state(context) == PA_CONTEXT_READY;
    const std::string detail = "Sound server: " + ServerReason(error) + ".";
    if (self->preparing_ == Preparing::Busy) {
      switch (error) {
        case PA_ERR_NOENTITY:
          self->PreparationFailed(MMSYSERR_BADDEVICEID, detail);
          break;
        case PA_ERR_ACCESS:
        case PA_ERR_BUSY:
        case PA_ERR_EXIST:
        case PA_ERR_TOOLARGE:
          self->PreparationFailed(MMSYSERR_ALLOCATED, detail);
          break;
        default:
          self->PreparationFailed(connected ? MMSYSERR_ERROR : MMSYSERR_NODRIVER, detail);
      }
    } else if (!connected) {
      self->StreamLost(MMSYSERR_NODRIVER,
                       "Lost the connection to the sound server: " + ServerReason(error) + ".");
    } else if (error == PA_ERR_KILLED || error == PA_ERR_NOENTITY) {
      self->StreamLost(MMSYSERR_NODRIVER,
                       "The input source was removed: " + ServerReason(error) + ".");
    } else {
      self->StreamLost(MMSYSERR_ERROR, detail);
    }
  }
  pa_threaded_mainloop_signal(self->mainloop_, 0);
}

void PulseDriver::OnRead(pa_stream* stream, std::size_t, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const auto* from = static_cast<const char*>(data);  // null for a hole in the stream
    const std::size_t skipped = std::min(self->skip_, bytes);
    self->skip_ -= skipped;
    if (from != nullptr) from += skipped;
    bytes -= skipped;
    const std::size_t taken = self->device_ == nullptr ? 0 : self->device_->Deliver(from, bytes);
    if (self->device_ == nullptr || !self->device_->Taking()) self->MarkBlockEnd();
    self->Carry(from == nullptr ? nullptr : from + taken, bytes - taken);
    pa_stream_drop(stream);
  }
}

void PulseDriver::MarkBlockEnd() {
  if (between_blocks_) return;
  between_blocks_ = true;
  block_end_ = pa_rtclock_now();
  since_block_end_ = carry_.size();  // what a small buffer left over came after its end
}

void PulseDriver::ClearCarry() {
  carry_.clear();
  between_blocks_ = false;
  since_block_end_ = skip_ = 0;
}

void PulseDriver::Carry(const void* data, std::size_t bytes) {
  if (bytes == 0) return;
  since_block_end_ += bytes;
  if (bytes >= kCarryBytes) {
    if (data != nullptr) data = static_cast<const char*>(data) + (bytes - kCarryBytes);
    bytes = kCarryBytes;
    carry_.clear();
  }
  const std::size_t old_size = carry_.size();
  carry_.resize(old_size + bytes);
  if (data != nullptr) {
    std::copy_n(static_cast<const char*>(data), bytes, carry_.begin() + old_size);
  } else {
    std::fill_n(carry_.begin() + old_size, bytes, 0);
  }
  if (carry_.size() > kCarryBytes) {
    carry_.erase(carry_.begin(), carry_.begin() + (carry_.size() - kCarryBytes));
  }
}

void PulseDriver::FeedFromCarry(BufferQueue& queue) {
  if (queue.empty()) return;
  if (between_blocks_) {
    // The new buffer starts with the sound of this moment: leave out what came before it.
    const std::size_t gap = BytesIn(pa_rtclock_now() - block_end_);
    const std::size_t dropped_already = since_block_end_ - carry_.size();
    const std::size_t drop =
        gap > dropped_already ? std::min(gap - dropped_already, carry_.size()) : 0;
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(drop));
    skip_ = gap > since_block_end_ ? gap - since_block_end_ : 0;
    between_blocks_ = false;
  }
  const std::size_t taken = queue.Fill(carry_.data(), carry_.size());
  carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(taken));
  if (queue.empty()) MarkBlockEnd();
}

void PulseDriver::OnSuspended(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (self->device_ != nullptr) self->device_->SetSuspended(pa_stream_is_suspended(stream) > 0);
}

// A stream moves when someone points it elsewhere, and when its source goes away and the
// server rescues it onto another: the second is the loss of device 0.
void PulseDriver::OnMoved(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  const std::uint32_t old_source = self->stream_source_;
  self->stream_source_ = pa_stream_get_device_index(stream);
  if (old_source == PA_INVALID_INDEX) return;
  if (self->old_source_query_ != nullptr) {
    pa_operation_cancel(self->old_source_query_);
    pa_operation_unref(self->old_source_query_);
  }
  self->old_source_seen_ = false;
  self->old_source_query_ =
      pa_context_get_source_info_by_index(self->context_, old_source, OnOldSource, self);
}

void PulseDriver::OnOldSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (eol == 0 && info != nullptr) {
    self->old_source_seen_ = true;
    return;
  }
  if (self->old_source_query_ != nullptr) pa_operation_unref(self->old_source_query_);
  self->old_source_query_ = nullptr;
  if (!self->old_source_seen_) {
    self->StreamLost(MMSYSERR_NODRIVER, "The input source was removed.");
  }
}

MMRESULT PulseDriver::Open(std::unique_ptr<Device>& device) {
  std::lock_guard open_lock(open_mutex_);
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
  FreeTimer(idle_timer_);
  // Only the first open may wait for the server as long as it takes to answer; later ones
  // come from the window's timer, which must not stall.
  const pa_usec_t wait = opened_before_ ? open_wait_ : kOpenTimeout;
  opened_before_ = true;
  if (!StreamUsable()) {
    if (preparing_ != Preparing::Busy) StartPreparing();
    WaitUntil(pa_rtclock_now() + wait, [this] { return preparing_ != Preparing::Busy; });
  }
  MMRESULT result = MMSYSERR_NOERROR;
  if (StreamUsable()) {
    auto opened = std::make_unique<PulseDevice>(shared_from_this());
    device_ = opened.get();
    opened->Attach();
    device = std::move(opened);
  } else if (preparing_ == Preparing::Failed) {
    preparing_ = Preparing::No;
    result = Fail(preparation_result_, preparation_detail_);
  } else {
    result = Fail(MMSYSERR_NODRIVER, "The sound server has not answered yet.");
  }
  if (result == MMSYSERR_NOERROR || preparing_ == Preparing::Busy) {
    // A preparation still under way stays for the next open to find ready.
    if (result != MMSYSERR_NOERROR) idle_timer_ = NewTimer(kPreparedKeep, OnIdle);
    pa_threaded_mainloop_unlock(mainloop_);
    return result;
  }
  DropContext();
  pa_threaded_mainloop_unlock(mainloop_);
  FreeMainloop();
  return result;
}

void PulseDriver::DeviceClosed(bool healthy) {
  // Lock held; the device has let go of the stream.
  device_ = nullptr;
  if (healthy && !broken_ && keep_connection_ > 0 && StreamUsable() &&
      pa_context_get_state(context_) == PA_CONTEXT_READY) {
    idle_timer_ = NewTimer(keep_connection_, OnIdle);
  } else {
    DropContext();
  }
}

// ---- Device ------------------------------------------------------------------------------

PulseDevice::~PulseDevice() {
  if (!attached_) return;
  // The main loop's lock is recursive, so this is safe from under it as well.
  pa_threaded_mainloop_lock(driver_->mainloop_);
  Release();
  driver_->device_ = nullptr;
  driver_->DropContext();
  pa_threaded_mainloop_unlock(driver_->mainloop_);
}

void PulseDevice::Attach() {
  attached_ = true;
  pa_stream* stream = driver_->stream_;
  suspended_ = pa_stream_is_suspended(stream) > 0;
  Progress();
  watchdog_ =
      pa_context_rttime_new(driver_->context_, pa_rtclock_now() + kSilenceFloor, OnWatchdog, this);
}

void PulseDevice::Release() {
  // Lock held.
  if (asking_ != nullptr) {
    pa_operation_cancel(asking_);
    pa_operation_unref(asking_);
    asking_ = nullptr;
  }
  if (watchdog_ != nullptr) {
    pa_threaded_mainloop_get_api(driver_->mainloop_)->time_free(watchdog_);
    watchdog_ = nullptr;
  }
  attached_ = false;
}

MMRESULT PulseDevice::Start() {
  pa_threaded_mainloop_lock(driver_->mainloop_);
  const MMRESULT result = fault_ != MMSYSERR_NOERROR ? StoredFault() : MMSYSERR_NOERROR;
  if (result == MMSYSERR_NOERROR && !started_) {
    started_ = true;
    Progress();
    driver_->FeedFromCarry(queue_);
  }
  pa_threaded_mainloop_unlock(driver_->mainloop_);
  return result;
}

MMRESULT PulseDevice::Stop() {
  pa_threaded_mainloop_lock(driver_->mainloop_);
  started_ = false;
  if (!queue_.empty() && queue_.head()->dwBytesRecorded > 0) queue_.CompleteHead();
  pa_threaded_mainloop_unlock(driver_->mainloop_);
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::Reset() {
  pa_threaded_mainloop_lock(driver_->mainloop_);
  started_ = false;
  queue_.CompleteAll();
  pa_threaded_mainloop_unlock(driver_->mainloop_);
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::AddBuffer(WAVEHDR* header) {
  pa_threaded_mainloop_lock(driver_->mainloop_);
  MMRESULT result = MMSYSERR_NOERROR;
  if (fault_ != MMSYSERR_NOERROR) {
    result = StoredFault();
  } else {
    if (queue_.empty()) Progress();
    queue_.Add(header);
    if (started_) driver_->FeedFromCarry(queue_);
  }
  pa_threaded_mainloop_unlock(driver_->mainloop_);
  return result;
}

bool PulseDevice::HasQueued() {
  pa_threaded_mainloop_lock(driver_->mainloop_);
  const bool queued = !queue_.empty();
  pa_threaded_mainloop_unlock(driver_->mainloop_);
  return queued;
}

void PulseDevice::Close() {
  pa_threaded_mainloop* mainloop = driver_->mainloop_;
  pa_threaded_mainloop_lock(mainloop);
  Release();
  driver_->DeviceClosed(fault_ == MMSYSERR_NOERROR);
  const bool keep = driver_->context_ != nullptr;
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
  driver_->broken_ = true;
}

std::size_t PulseDevice::Deliver(const void* data, std::size_t bytes) {
  if (!started_ || queue_.empty() || fault_ != MMSYSERR_NOERROR) return 0;
  const std::size_t taken = queue_.Fill(data, bytes);
  if (taken > 0) Progress();
  return taken;
}

pa_usec_t PulseDevice::SilenceLimit() const {
  const WAVEHDR* head = queue_.head();
  const pa_usec_t period =
      head == nullptr ? 0 : pa_usec_t{head->dwBufferLength} * PA_USEC_PER_SEC / kBytesPerSecond;
  return std::max(3 * period, kSilenceFloor);
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
      const char* source = pa_stream_get_device_name(self->driver_->stream_);
      self->AskWhetherSuspended(source == nullptr ? "" : source);
      next = now + kAnswerTime;
    } else if (now - self->asked_at_ < kAnswerTime) {
      next = self->asked_at_ + kAnswerTime;
    } else {
      self->driver_->StreamLost(MMSYSERR_NODRIVER, "No sound arrived from the sound server for " +
                                                       Seconds(silent) + " seconds.");
      api->time_free(event);
      self->watchdog_ = nullptr;
      return;
    }
  }
  pa_context_rttime_restart(self->driver_->context_, event, next);
}

void PulseDevice::AskWhetherSuspended(const char* source) {
  if (asking_ != nullptr) pa_operation_unref(asking_);
  asking_ = pa_context_get_source_info_by_name(driver_->context_, source, OnSourceState, this);
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
    self->driver_->StreamLost(MMSYSERR_NODRIVER, "No sound arrived from the sound server for " +
                                                     Seconds(silent) + " seconds.");
  }
}

}  // namespace

std::shared_ptr<Driver> MakePulseDriver(const PulseWaveInputOptions& options) {
  return std::make_shared<PulseDriver>(options);
}

}  // namespace quorvane::wavein
