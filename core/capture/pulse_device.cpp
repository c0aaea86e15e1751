// Device 0 while open: the buffers queued for recording, the fault that ended it, and the
// watch for a source that has gone silent. See pulse_driver.h.

#include <algorithm>

#include "capture/capture_log.h"
#include "capture/pulse_driver.h"
#include "capture/pulse_operation.h"

namespace quorvane::wavein {

namespace {

constexpr pa_usec_t kSilenceFloor = 500 * PA_USEC_PER_MSEC;
// How long the server gets to say whether a silent source is suspended.
constexpr pa_usec_t kAnswerTime = 300 * PA_USEC_PER_MSEC;

}  // namespace

// Made by PulseDriver::Open, lock held.
PulseDevice::PulseDevice(std::shared_ptr<PulseDriver> driver) : driver_(std::move(driver)) {
  suspended_ = pa_stream_is_suspended(driver_->stream_) > 0;
  Progress();
  watchdog_ =
      pa_context_rttime_new(driver_->context_, pa_rtclock_now() + kSilenceFloor, OnWatchdog, this);
}

PulseDevice::~PulseDevice() {
  if (state_ == DeviceState::kClosed) return;
  // Not closed (a failed open after the driver had handed it over): closed as after a fault,
  // so the connection is not kept. The sound thread's lock is recursive, so this is safe from
  // under it as well.
  PulseDriver::Lock lock(*driver_->thread_);
  Release();
  Enter(DeviceEvent::kClose);
  driver_->DeviceClosed(false);
}

// The one place where the device's state changes.
void PulseDevice::Enter(DeviceEvent event) {
  const DeviceState next = NextDeviceState(state_, event);
  if (next != state_) {
    CaptureLog("device: %s -> %s on %s", ToString(state_), ToString(next), ToString(event));
  }
  state_ = next;
}

void PulseDevice::Release() {
  CancelOperation(asking_);
  if (watchdog_ != nullptr) {
    driver_->thread_->api()->time_free(watchdog_);
    watchdog_ = nullptr;
  }
}

MMRESULT PulseDevice::Start() {
  PulseDriver::Lock lock(*driver_->thread_);
  if (state_ == DeviceState::kFaulted) return StoredFault();
  if (state_ == DeviceState::kOpen) {
    Enter(DeviceEvent::kStart);
    Progress();
    if (BufferQueue* recording = Recording()) driver_->carry_.Resume(*recording);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::Stop() {
  PulseDriver::Lock lock(*driver_->thread_);
  Enter(DeviceEvent::kStop);
  if (!queue_.empty() && queue_.head()->dwBytesRecorded > 0) queue_.CompleteHead();
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::Reset() {
  PulseDriver::Lock lock(*driver_->thread_);
  Enter(DeviceEvent::kReset);
  queue_.CompleteAll();
  return MMSYSERR_NOERROR;
}

MMRESULT PulseDevice::AddBuffer(WAVEHDR* header) {
  PulseDriver::Lock lock(*driver_->thread_);
  if (state_ == DeviceState::kFaulted) return StoredFault();
  if (queue_.empty()) Progress();
  queue_.Add(header);
  if (BufferQueue* recording = Recording()) driver_->carry_.Resume(*recording);
  return MMSYSERR_NOERROR;
}

bool PulseDevice::HasQueued() {
  PulseDriver::Lock lock(*driver_->thread_);
  return !queue_.empty();
}

void PulseDevice::Close() {
  PulseDriver::Lock lock(*driver_->thread_);
  Release();
  const bool healthy = state_ != DeviceState::kFaulted;
  Enter(DeviceEvent::kClose);
  driver_->DeviceClosed(healthy);
}

void PulseDevice::Fault(const PulseFailure& failure) {
  if (state_ != DeviceState::kFaulted) fault_ = failure;  // the first fault is the one told
  Enter(DeviceEvent::kFault);
  Release();
  queue_.CompleteAll();
}

void PulseDevice::SetSuspended(bool suspended) {
  suspended_ = suspended;
  // Waiting out a suspension is not silence.
  if (!suspended_) Progress();
}

pa_usec_t PulseDevice::SilenceLimit() const {
  const WAVEHDR* head = queue_.head();
  const pa_usec_t period =
      head == nullptr ? 0 : pa_usec_t{head->dwBufferLength} * PA_USEC_PER_SEC / kBytesPerSecond;
  return std::max({3 * period, kSilenceFloor, driver_->UsualWait()});
}

void PulseDevice::OnWatchdog(pa_mainloop_api*, pa_time_event* event, const timeval*,
                             void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  const pa_usec_t now = pa_rtclock_now();
  const pa_usec_t limit = self->SilenceLimit();
  pa_usec_t next = now + limit;
  if (self->Recording() != nullptr && !self->suspended_) {
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
      return self->driver_->WentSilent(silent);  // frees this timer
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
  } else if (self->Recording() != nullptr && silent >= self->SilenceLimit()) {
    self->driver_->WentSilent(silent);
  }
}

}  // namespace quorvane::wavein
