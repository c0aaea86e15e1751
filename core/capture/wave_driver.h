#pragma once

// Inside the wave-input layer: what a driver provides behind the platform-shaped calls, and
// the buffer queue both drivers share. Not for the module or the window.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "capture/wave_drivers.h"
#include "capture/wavein.h"

namespace quorvane::wavein {

// Records why a call failed, for waveInGetErrorTextA, and returns the code. `detail` is a
// sentence from the driver, usually with the sound server's reason; may be empty.
MMRESULT Fail(MMRESULT code, std::string detail = {});

// Raises the capture's signal (CaptureSignalDescriptor in capture/module1.h): a buffer is done,
// or the connection behind device 0 changed. Any thread.
void RaiseCaptureSignal();

// True when the format is the one both drivers record: PCM, 1 channel, 16 bits, 22050/s.
bool IsSupportedFormat(const WAVEFORMATEX& format);

// Buffers queued for recording, oldest first. Not locked: each driver calls it under its own
// lock. A buffer leaves the queue only by being completed (done), after which nothing here
// touches it again.
class BufferQueue {
 public:
  void Add(WAVEHDR* header);
  bool empty() const { return queue_.empty(); }
  const WAVEHDR* head() const { return queue_.empty() ? nullptr : queue_.front(); }
  bool Contains(const WAVEHDR* header) const;

  // Copies `bytes` (zeros when `data` is null) into the queued buffers in order, completing
  // each one that fills up. Returns how many bytes were taken; the rest had nowhere to go.
  std::size_t Fill(const void* data, std::size_t bytes);

  // Returns the oldest buffer with what it holds so far, and raises the capture's signal.
  void CompleteHead();
  void CompleteAll();

 private:
  std::deque<WAVEHDR*> queue_;
};

// One open device. The front end has checked the handle and the header's flags; every call
// comes from the application's thread.
class Device {
 public:
  virtual ~Device() = default;
  virtual MMRESULT Start() = 0;
  virtual MMRESULT Stop() = 0;   // returns a partly filled head buffer
  virtual MMRESULT Reset() = 0;  // returns every queued buffer
  virtual MMRESULT AddBuffer(WAVEHDR* header) = 0;
  virtual bool HasQueued() = 0;
  // Releases everything the device holds; only called with nothing queued.
  virtual void Close() = 0;
};

class Driver {
 public:
  virtual ~Driver() = default;
  // Opens device 0 in a supported format. On failure returns the code (through Fail).
  virtual MMRESULT Open(std::unique_ptr<Device>& device) = 0;
};

// The driver new devices are opened on.
std::shared_ptr<Driver> CurrentDriver();

std::shared_ptr<Driver> MakePulseDriver(const PulseWaveInputOptions& options);

}  // namespace quorvane::wavein
