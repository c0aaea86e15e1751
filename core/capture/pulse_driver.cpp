// The connection to the sound server and its record stream: preparing them, handing the stream
// to a device, and keeping it between blocks. See pulse_driver.h.

#include "capture/pulse_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "capture/capture_log.h"
#include "capture/pulse_operation.h"
#include "common/identity.h"

namespace quorvane::wavein {

namespace {

// How long a preparation may take before the server counts as not answering.
constexpr pa_usec_t kPreparationLimit = 2 * PA_USEC_PER_SEC;
// A stream prepared, or a connection watching for an input, waits this long for an open; then
// nobody wants device 0 any more and the connection goes.
constexpr pa_usec_t kUnclaimedKeep = 5 * PA_USEC_PER_SEC;
// How long a source whose pace is not known yet may take: it may have run at its largest
// latency (2 s) until the stream asked for less, and hand on what it had gathered only then;
// a busy machine adds to that.
constexpr pa_usec_t kUnknownPaceWait = 3500 * PA_USEC_PER_MSEC;
// The most sound kept between blocks; the stream's pieces must be smaller.
constexpr std::size_t kCarryBytes = kBytesPerSecond / 4;
constexpr char kClientName[] = "Quorvane Spectrum";
constexpr char kStreamName[] = "Spectrum input";

pa_proplist* Properties(const char* media_name) {
  pa_proplist* properties = pa_proplist_new();
  if (properties == nullptr) return nullptr;
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kClientName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, kApplicationId);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, kIconName);
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  if (media_name != nullptr) pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, media_name);
  return properties;
}

std::string NamedSource() {
  const char* named = std::getenv("PULSE_SOURCE");
  return named == nullptr ? std::string() : std::string(named);
}

std::uint32_t FragmentBytes(int fragment_ms) {
  const std::size_t bytes =
      static_cast<std::size_t>(std::max(fragment_ms, 1)) * kBytesPerSecond / 1000;
  return static_cast<std::uint32_t>(std::clamp<std::size_t>(bytes, 2, kCarryBytes - 2) & ~1u);
}

PulseFailure NoSoundFor(pa_usec_t silent) {
  char text[96];
  std::snprintf(text, sizeof text, "No sound arrived from the sound server for %.1f seconds.",
                static_cast<double>(silent) / PA_USEC_PER_SEC);
  return {MMSYSERR_NODRIVER, text};
}

}  // namespace

PulseDriver::PulseDriver(const PulseWaveInputOptions& options)
    : keep_connection_(static_cast<pa_usec_t>(options.keep_connection_ms) * PA_USEC_PER_MSEC),
      fragment_bytes_(FragmentBytes(options.fragment_ms)),
      finder_(NamedSource()),
      carry_(kCarryBytes, kBytesPerSecond, [] { return std::uint64_t{pa_rtclock_now()}; }) {}

PulseDriver::~PulseDriver() {
  if (thread_ == nullptr) return;
  {
    Lock lock(*thread_);
    FreeTimer(preparation_limit_);
    FreeTimer(idle_timer_);
    Retire(true);
    FreeRetired();
  }
  thread_.reset();
}

// The one place where the link changes, with what each change brings: the end of a
// preparation raises the signal when the stream is ready or an open waits to hear of it, and
// a connection nobody claims is let go after a while.
void PulseDriver::Enter(Link next) {
  const Link was = std::exchange(link_, next);
  // The server itself failed: what was known of its sources goes with it.
  if (next == Link::kFailed) source_silent_ = false;
  if (was != next || !LinkMayGo(was, next)) {
    CaptureLog("connection: %s -> %s%s", ToString(was), ToString(next),
               LinkMayGo(was, next) ? "" : " (not in the table)");
  }
  FreeTimer(idle_timer_);
  if (Preparing(was) && !Preparing(next)) {
    FreeTimer(preparation_limit_);
    if (next == Link::kReady || waiting_) RaiseCaptureSignal();
    waiting_ = false;
  } else if (Preparing(next) && !Preparing(was)) {
    preparation_limit_ = NewTimer(kPreparationLimit, OnPreparationLimit);
  }
  // Sound flows: the thread takes it a fragment at a time. Otherwise every answer counts.
  const bool flowing = next == Link::kReady || next == Link::kInUse;
  thread_->SetPace(flowing ? pa_usec_t{fragment_bytes_} * PA_USEC_PER_SEC / kBytesPerSecond : 0);
  if (next == Link::kReady || next == Link::kWatching) {
    idle_timer_ = NewTimer(was == Link::kInUse ? keep_connection_ : kUnclaimedKeep, OnIdle);
  }
}

MMRESULT PulseDriver::StartThread() {
  if (thread_ != nullptr) return MMSYSERR_NOERROR;
  auto thread = std::make_unique<SoundThread>();
  if (!thread->Start()) return Fail(MMSYSERR_NOMEM, "Cannot start the sound input thread.");
  thread_ = std::move(thread);
  return MMSYSERR_NOERROR;
}

pa_time_event* PulseDriver::NewTimer(pa_usec_t delay, pa_time_event_cb_t callback) {
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, delay);
  pa_mainloop_api* api = thread_->api();
  return api->time_new(api, &when, callback, this);
}

void PulseDriver::FreeTimer(pa_time_event*& timer) {
  if (timer == nullptr) return;
  thread_->api()->time_free(timer);
  timer = nullptr;
}

MMRESULT PulseDriver::Open(std::unique_ptr<Device>& device) {
  std::lock_guard open_lock(open_mutex_);
  if (const MMRESULT started = StartThread(); started != MMSYSERR_NOERROR) return started;
  Lock lock(*thread_);
  if (device_ != nullptr) return Fail(MMSYSERR_ALLOCATED, "Device 0 is already open.");
  if (link_ == Link::kOff) Connect();
  switch (link_) {
    case Link::kReady: {
      auto opened = std::make_unique<PulseDevice>(shared_from_this());
      device_ = opened.get();
      Enter(Link::kInUse);
      device = std::move(opened);
      return MMSYSERR_NOERROR;
    }
    case Link::kConnecting:
    case Link::kFinding:
    case Link::kStarting:
      waiting_ = true;
      return Fail(WAVERR_PREPARING, "The sound server is being reached.");
    case Link::kWatching:
      Enter(Link::kWatching);  // wanted still: keeps watching
      return Fail(failure_.code, failure_.detail);
    case Link::kFailed: {
      // Reported once; the next open tries afresh.
      const PulseFailure failure = std::exchange(failure_, {MMSYSERR_NOERROR, {}});
      Enter(Link::kOff);
      return Fail(failure.code, failure.detail);
    }
    case Link::kOff:
    case Link::kInUse:
    case Link::kBroken:
      break;
  }
  return Fail(MMSYSERR_ERROR);
}

void PulseDriver::Connect() {
  pace_.Forget();  // the server may be another one now, its sources new
  pa_proplist* properties = Properties(nullptr);
  if (properties != nullptr) {
    context_ = pa_context_new_with_proplist(thread_->api(), kClientName, properties);
    pa_proplist_free(properties);
  }
  if (context_ == nullptr) {
    failure_ = {MMSYSERR_NOMEM, {}};
    return Enter(Link::kFailed);
  }
  pa_context_set_state_callback(context_, OnContextState, this);
  // A server that is not there fails at once, inside this call; the link is still off then.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    failure_ = FailureFromPulse(pa_context_errno(context_), PulseStage::kConnecting, false);
    Retire(true);
    return Enter(Link::kFailed);
  }
  Enter(Link::kConnecting);
}

void PulseDriver::OnContextState(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (context != self->context_) return;
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    if (self->link_ != Link::kConnecting) return;
    self->Watch();
    return self->FindDeviceZero();
  }
  if (PA_CONTEXT_IS_GOOD(state)) return;
  const int error = pa_context_errno(context);
  switch (self->link_) {
    case Link::kConnecting:
      return self->PreparationFailed(FailureFromPulse(error, PulseStage::kConnecting, false));
    case Link::kFinding:
    case Link::kStarting:
      return self->PreparationFailed(FailureFromPulse(error, PulseStage::kPreparing, false));
    case Link::kReady:
    case Link::kInUse:
    case Link::kWatching:
      return self->Lost(FailureFromPulse(error, PulseStage::kRecording, false));
    case Link::kOff:  // a connect failing at once: Connect reports it
    case Link::kBroken:
    case Link::kFailed:
      return;
  }
}

void PulseDriver::FindDeviceZero() {
  look_again_ = false;
  Enter(Link::kFinding);
  finder_.Find(context_, [this](const InputChoice& choice) { InputFound(choice); });
}

void PulseDriver::InputFound(const InputChoice& choice) {
  if (!choice.found) return PreparationFailed(choice.failure);
  CreateStream(choice.source);
}

void PulseDriver::CreateStream(const std::string& source) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = kSampleRate;
  spec.channels = 1;
  pa_channel_map map;
  pa_channel_map_init_mono(&map);
  pa_proplist* properties = Properties(kStreamName);
  if (properties != nullptr) {
    stream_ = pa_stream_new_with_proplist(context_, kStreamName, &spec, &map, properties);
    pa_proplist_free(properties);
  }
  if (stream_ == nullptr) {
    return PreparationFailed(
        {MMSYSERR_NOMEM,
         "Sound server: " + std::string(pa_strerror(pa_context_errno(context_))) + "."});
  }
  carry_.Clear();
  stream_source_ = PA_INVALID_INDEX;
  fragment_granted_ = 0;
  pace_.Break();
  pa_stream_set_state_callback(stream_, OnStreamState, this);
  pa_stream_set_read_callback(stream_, OnRead, this);
  pa_stream_set_suspended_callback(stream_, OnSuspended, this);
  pa_stream_set_moved_callback(stream_, OnMoved, this);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  // Pieces of this size: a piece's sound past a buffer's end is kept for the next buffer, so
  // this sets how often the sound thread wakes, not the gap between blocks. With
  // PA_STREAM_ADJUST_LATENCY the source is asked for this latency, as recording programs do:
  // left alone, PulseAudio runs an idle source at its largest latency (about 2 s) and hands on
  // its sound in pieces that large. A source already running at a lower latency for another
  // client keeps it; PipeWire takes the request as the stream's own latency.
  attributes.fragsize = fragment_bytes_;
  // No source named: the server's default, followed when the desktop chooses another. The
  // desktop's sound settings may move the stream by hand; but the source the user named in
  // PULSE_SOURCE stays, which servers would otherwise move to a new default too.
  const char* device = source.empty() ? nullptr : source.c_str();
  const pa_stream_flags_t flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_ADJUST_LATENCY | (finder_.named() ? PA_STREAM_DONT_MOVE : PA_STREAM_NOFLAGS));
  if (pa_stream_connect_record(stream_, device, &attributes, flags) < 0) {
    return PreparationFailed(
        FailureFromPulse(pa_context_errno(context_), PulseStage::kPreparing, true));
  }
  Enter(Link::kStarting);
}

void PulseDriver::PreparationFailed(const PulseFailure& failure) {
  CaptureLog("preparation failed: %s", failure.detail.c_str());
  const bool connected = context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
  Retire(!connected);
  failure_ = failure;
  if (!connected) return Enter(Link::kFailed);
  if (look_again_) return FindDeviceZero();
  Enter(Link::kWatching);
}

// While device 0 cannot be recorded, a new source (a microphone plugged in, an input module
// loaded) or a new default source is worth another look; nothing else wakes us. The watch
// starts with the connection, before the first look: the server answers in order, so a source
// that comes after the look's answer is told of, and one told of during a look means looking
// again. Started only once that look had failed, it would miss a source that came meanwhile,
// and the analyser would wait for it for ever.
void PulseDriver::Watch() {
  pa_context_set_subscribe_callback(context_, OnServerEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                        PA_SUBSCRIPTION_MASK_SERVER);
  if (pa_operation* operation = pa_context_subscribe(context_, mask, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void PulseDriver::OnServerEvent(pa_context* context, pa_subscription_event_type_t type,
                                std::uint32_t, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (context != self->context_) return;
  const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if ((facility != PA_SUBSCRIPTION_EVENT_SOURCE || kind != PA_SUBSCRIPTION_EVENT_NEW) &&
      facility != PA_SUBSCRIPTION_EVENT_SERVER) {
    return;
  }
  if (self->link_ == Link::kWatching) return self->FindDeviceZero();
  if (Preparing(self->link_)) self->look_again_ = true;
}

void PulseDriver::Lost(const PulseFailure& failure) {
  CaptureLog("lost: %s", failure.detail.c_str());
  const bool in_use = link_ == Link::kInUse;
  if (in_use) device_->Fault(failure);
  Retire(true);
  Enter(in_use ? Link::kBroken : Link::kOff);
}

void PulseDriver::Retire(bool connection) {
  CancelOperation(old_source_query_);
  CancelOperation(latency_query_);
  carry_.Clear();
  if (stream_ != nullptr) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    retired_streams_.push_back(std::exchange(stream_, nullptr));
  }
  if (connection && context_ != nullptr) {
    finder_.Cancel();
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    retired_contexts_.push_back(std::exchange(context_, nullptr));
  }
  if (retire_event_ == nullptr && (!retired_streams_.empty() || !retired_contexts_.empty())) {
    pa_mainloop_api* api = thread_->api();
    retire_event_ = api->defer_new(api, OnRetired, this);
  }
}

void PulseDriver::FreeRetired() {
  for (pa_stream* stream : retired_streams_) pa_stream_unref(stream);
  for (pa_context* context : retired_contexts_) pa_context_unref(context);
  retired_streams_.clear();
  retired_contexts_.clear();
  if (retire_event_ != nullptr) {
    thread_->api()->defer_free(retire_event_);
    retire_event_ = nullptr;
  }
}

void PulseDriver::OnRetired(pa_mainloop_api*, pa_defer_event*, void* userdata) {
  static_cast<PulseDriver*>(userdata)->FreeRetired();
}

void PulseDriver::DeviceClosed(bool healthy) {
  device_ = nullptr;
  // Kept for the next open, unless the connection saw a fault or none is to be kept.
  if (healthy && link_ == Link::kInUse && keep_connection_ > 0) return Enter(Link::kReady);
  Retire(true);
  Enter(Link::kOff);
}

void PulseDriver::OnPreparationLimit(pa_mainloop_api*, pa_time_event*, const timeval*,
                                     void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  self->FreeTimer(self->preparation_limit_);
  if (!Preparing(self->link_)) return;
  // A server that does not answer in time is not asked again on this connection.
  self->Retire(true);
  self->failure_ = NoAnswerWithin(static_cast<double>(kPreparationLimit) / PA_USEC_PER_SEC);
  self->Enter(Link::kFailed);
}

void PulseDriver::OnIdle(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  self->FreeTimer(self->idle_timer_);
  if (self->link_ != Link::kReady && self->link_ != Link::kWatching) return;
  self->Retire(true);
  self->Enter(Link::kOff);
}

void PulseDriver::OnStreamState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (stream != self->stream_) return;
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    if (self->link_ != Link::kStarting) return;
    self->stream_source_ = pa_stream_get_device_index(stream);
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream);
    self->fragment_granted_ =
        granted == nullptr ? 0 : pa_usec_t{granted->fragsize} * PA_USEC_PER_SEC / kBytesPerSecond;
    self->AskSourceLatency(self->stream_source_);
    return self->Enter(Link::kReady);
  }
  if (PA_STREAM_IS_GOOD(state)) return;
  pa_context* context = pa_stream_get_context(stream);
  const int error = pa_context_errno(context);
  const bool connected = pa_context_get_state(context) == PA_CONTEXT_READY;
  if (self->link_ == Link::kStarting) {
    return self->PreparationFailed(FailureFromPulse(error, PulseStage::kPreparing, connected));
  }
  self->Lost(FailureFromPulse(error, PulseStage::kRecording, connected));
}

// Takes what libpulse says is readable and no more: a server may send a fragment in pieces of a
// few dozen samples, each with a call here, and one more look at an empty stream per piece
// would cost as much again.
void PulseDriver::OnRead(pa_stream* stream, std::size_t readable, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  while (readable > 0) {
    const void* data = nullptr;  // null for a hole in the stream
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    self->source_silent_ = false;
    self->pace_.Arrived(pa_rtclock_now(), bytes);
    BufferQueue* recording = self->device_ == nullptr ? nullptr : self->device_->Recording();
    if (self->carry_.Arrive(data, bytes, recording) > 0) self->device_->Progress();
    pa_stream_drop(stream);
    readable -= std::min(bytes, readable);
  }
}

void PulseDriver::OnSuspended(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  self->pace_.Break();  // a suspension's wait is not the source's pace
  if (self->device_ != nullptr) self->device_->SetSuspended(pa_stream_is_suspended(stream) > 0);
}

// A stream moves when someone points it elsewhere, or the desktop chooses another default,
// and when its source goes away and the server rescues it onto another: the last is the loss
// of device 0.
void PulseDriver::OnMoved(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  const std::uint32_t old_source =
      std::exchange(self->stream_source_, pa_stream_get_device_index(stream));
  if (old_source == PA_INVALID_INDEX) return;
  self->AskSourceLatency(self->stream_source_);
  CancelOperation(self->old_source_query_);
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
  if (!self->old_source_seen_) self->Lost({MMSYSERR_NODRIVER, "The input source was removed."});
}

void PulseDriver::AskSourceLatency(std::uint32_t source) {
  CancelOperation(latency_query_);
  latency_query_ = pa_context_get_source_info_by_index(context_, source, OnSourceLatency, this);
}

void PulseDriver::OnSourceLatency(pa_context*, const pa_source_info* info, int eol,
                                  void* userdata) {
  auto* self = static_cast<PulseDriver*>(userdata);
  if (eol != 0 || info == nullptr) {
    if (self->latency_query_ != nullptr) pa_operation_unref(self->latency_query_);
    self->latency_query_ = nullptr;
    return;
  }
  // A source with a fixed latency reports it as configured; PipeWire reports none there.
  self->source_latency_ = std::max(info->configured_latency, info->latency);
  CaptureLog("recording from %s: fragment %.1f ms granted, source latency %.1f ms",
             info->name == nullptr ? "?" : info->name,
             static_cast<double>(self->fragment_granted_) / PA_USEC_PER_MSEC,
             static_cast<double>(self->source_latency_) / PA_USEC_PER_MSEC);
  if (info->name != nullptr && self->paced_source_ != info->name) {
    self->paced_source_ = info->name;
    self->pace_.Forget();
    self->source_silent_ = false;
  }
}

void PulseDriver::WentSilent(pa_usec_t silent) {
  source_silent_ = true;
  Lost(NoSoundFor(silent));
}

// A source whose pace is not known yet gets longer, unless it was given up for silence already:
// then the next block's failure, and with it the outage, is not put off again.
pa_usec_t PulseDriver::UsualWait() const {
  const pa_usec_t granted = fragment_granted_ + source_latency_;
  const bool unknown = !pace_.known(pa_rtclock_now(), kUnknownPaceWait) && !source_silent_;
  return std::max({2 * granted, 2 * pace_.UsualWaitUs(), unknown ? kUnknownPaceWait : 0});
}

std::shared_ptr<Driver> MakePulseDriver(const PulseWaveInputOptions& options) {
  return std::make_shared<PulseDriver>(options);
}

}  // namespace quorvane::wavein
