#pragma once

// Device 0 over a PulseAudio server (or PipeWire's pulse server), with libpulse's asynchronous
// API on a threaded main loop. Inside the capture library only.
//
// Threads: the application's thread calls Open and the device's calls, each taking the sound
// thread's lock; libpulse runs the callbacks on the sound thread (capture/sound_thread.h) with
// that same lock held. Everything below is touched only under the lock. Buffers are published done
// with release ordering (BufferQueue), and every event the application must act on (a buffer
// done, a fault, a preparation finished) raises the capture's signal (wave_driver.h).
//
// The connection is prepared on the sound thread: connect, find device 0, connect the
// record stream (a chain of callbacks), in the states of `Link`. An open takes a ready stream
// at once and never waits: while a preparation is under way it returns WAVERR_PREPARING, and
// the signal is raised when the preparation ends. After a close the stream stays ready for a
// while, so one block follows another without a new stream.
//
// The stream asks its source for a latency of one fragment, so that a block's sound arrives in
// pieces well inside a block: a source nobody asks runs at its largest latency, about 2 s on
// PulseAudio, and would hand on its sound in pieces of that size.
//
// Faults never leave a buffer hanging: a lost connection, a removed source, or a source that
// runs but sends nothing for three buffer periods (a hung server) completes the queued buffers
// at once. A source slower than that by its nature (a latency the server reports, or sound that
// comes seconds at a time) gets twice its own pace before it counts as silent. The device keeps the
// fault and returns it from waveInStart and waveInAddBuffer; the connection is not used again.

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/arrival_pace.h"
#include "capture/capture_states.h"
#include "capture/pulse_input.h"
#include "capture/pulse_result.h"
#include "capture/sound_carry.h"
#include "capture/sound_thread.h"
#include "capture/wave_driver.h"
#include "common/fixed_sizes.h"

namespace quorvane::wavein {

class PulseDevice;

class PulseDriver : public Driver, public std::enable_shared_from_this<PulseDriver> {
 public:
  explicit PulseDriver(const PulseWaveInputOptions& options);
  ~PulseDriver() override;

  MMRESULT Open(std::unique_ptr<Device>& device) override;

 private:
  friend class PulseDevice;

  using Lock = std::lock_guard<SoundThread>;

  static bool Preparing(Link link) {
    return link == Link::kConnecting || link == Link::kFinding || link == Link::kStarting;
  }
  void Enter(Link next);

  MMRESULT StartThread();
  pa_time_event* NewTimer(pa_usec_t delay, pa_time_event_cb_t callback);
  void FreeTimer(pa_time_event*& timer);

  void Connect();
  void FindDeviceZero();
  void InputFound(const InputChoice& choice);
  void CreateStream(const std::string& source);
  void PreparationFailed(const PulseFailure& failure);
  // The stream or the connection stopped working: a device gets the fault.
  void Lost(const PulseFailure& failure);
  // The source sent nothing for longer than its way allows.
  void WentSilent(pa_usec_t silent);
  void Watch();

  // Lets go of the stream (and with `connection` the connection too): callbacks off at once,
  // the objects freed on the main loop's next turn, since this may run inside their callbacks.
  void Retire(bool connection);
  void FreeRetired();
  void DeviceClosed(bool healthy);
  void Read();
  // What the server granted the stream, and what is known of the source's pace.
  void AskSourceLatency(std::uint32_t source);
  // The longest wait for sound that is still the source's way of working.
  pa_usec_t UsualWait() const;

  static void OnContextState(pa_context* context, void* userdata);
  static void OnServerEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                            void* userdata);
  static void OnStreamState(pa_stream* stream, void* userdata);
  static void OnRead(pa_stream* stream, std::size_t, void* userdata);
  static void OnSuspended(pa_stream* stream, void* userdata);
  static void OnMoved(pa_stream* stream, void* userdata);
  static void OnOldSource(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnSourceLatency(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnPreparationLimit(pa_mainloop_api*, pa_time_event*, const timeval*, void*);
  static void OnIdle(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
  static void OnRetired(pa_mainloop_api*, pa_defer_event* event, void* userdata);

  std::mutex open_mutex_;  // one open at a time
  const pa_usec_t keep_connection_;
  const std::uint32_t fragment_bytes_;
  std::unique_ptr<SoundThread> thread_;  // from the first open on
  // Under the sound thread's lock from here on.
  Link link_ = Link::kOff;
  bool waiting_ = false;     // an open found the preparation under way and waits for its end
  bool look_again_ = false;  // a source came, or the default changed, while device 0 was sought
  PulseFailure failure_{MMSYSERR_NOERROR, {}};  // of the last preparation, in kFailed/kWatching
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  InputFinder finder_;
  std::uint32_t stream_source_ = PA_INVALID_INDEX;
  pa_operation* old_source_query_ = nullptr;
  bool old_source_seen_ = false;
  pa_operation* latency_query_ = nullptr;
  pa_usec_t fragment_granted_ = 0;  // of the current stream
  pa_usec_t source_latency_ = 0;    // of the source it records from
  bool source_silent_ = false;      // given up for silence, and nothing heard since
  std::string paced_source_;        // the source that `pace_` describes
  ArrivalPace pace_{kBytesPerSecond};
  pa_time_event* preparation_limit_ = nullptr;
  pa_time_event* idle_timer_ = nullptr;
  std::vector<pa_stream*> retired_streams_;
  std::vector<pa_context*> retired_contexts_;
  pa_defer_event* retire_event_ = nullptr;
  SoundCarry carry_;
  PulseDevice* device_ = nullptr;
};

class PulseDevice : public Device {
 public:
  explicit PulseDevice(std::shared_ptr<PulseDriver> driver);
  ~PulseDevice() override;

  MMRESULT Start() override;
  MMRESULT Stop() override;
  MMRESULT Reset() override;
  MMRESULT AddBuffer(WAVEHDR* header) override;
  bool HasQueued() override;
  void Close() override;

 private:
  friend class PulseDriver;

  // Lock held, from here on.
  void Enter(DeviceEvent event);
  void Fault(const PulseFailure& failure);
  // The buffers that take sound now, or null.
  BufferQueue* Recording() {
    return state_ == DeviceState::kStarted && !queue_.empty() ? &queue_ : nullptr;
  }
  void SetSuspended(bool suspended);
  void Progress() { last_progress_ = pa_rtclock_now(); }
  void Release();
  MMRESULT StoredFault() const { return Fail(fault_.code, fault_.detail); }
  pa_usec_t SilenceLimit() const;

  static void OnWatchdog(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
  // Before calling a silent source hung: is it, or a source it is made from, suspended?
  void AskWhetherSuspended(const char* source);
  static void OnSourceState(pa_context*, const pa_source_info* info, int eol, void* userdata);

  std::shared_ptr<PulseDriver> driver_;
  DeviceState state_ = DeviceState::kOpen;
  pa_time_event* watchdog_ = nullptr;
  pa_operation* asking_ = nullptr;  // the suspension question in flight
  pa_usec_t asked_at_ = 0;
  int ask_depth_ = 0;
  BufferQueue queue_;
  bool suspended_ = false;  // the source's, as the server reports it
  pa_usec_t last_progress_ = 0;
  PulseFailure fault_{MMSYSERR_NOERROR, {}};  // what faulted it, in kFaulted
};

}  // namespace quorvane::wavein
