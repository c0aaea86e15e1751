#include "capture/wave_drivers.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "capture/wave_driver.h"

namespace quorvane::wavein {

namespace {

// Serves device 0 from a list of samples; everything happens on the caller's thread.
class MemoryDriver : public Driver, public std::enable_shared_from_this<MemoryDriver> {
 public:
  MemoryDriver(std::vector<std::int16_t> samples, MemoryInputEnd at_end)
      : samples_(std::move(samples)), at_end_(at_end) {}

  MMRESULT Open(std::unique_ptr<Device>& device) override;

  std::size_t Position() {
    std::lock_guard lock(mutex_);
    return position_ / 2;
  }

  // Fills what is queued from where the last buffer ended.
  void Pump(BufferQueue& queue) {
    std::lock_guard lock(mutex_);
    const auto* bytes = reinterpret_cast<const char*>(samples_.data());
    const std::size_t total = samples_.size() * sizeof(std::int16_t);
    while (!queue.empty() && !finished_) {
      position_ += queue.Fill(bytes + position_, total - position_);
      if (position_ < total) continue;  // every queued buffer is full
      if (queue.empty()) {
        if (at_end_ == MemoryInputEnd::Loop && total > 0) position_ = 0;
        if (at_end_ == MemoryInputEnd::Finish) finished_ = true;
        break;
      }
      // The head buffer wants more than is left.
      if (at_end_ == MemoryInputEnd::Loop && total > 0) {
        position_ = 0;
      } else {
        if (at_end_ == MemoryInputEnd::Finish) {
          queue.CompleteHead();
          finished_ = true;
        }
        break;
      }
    }
  }

  void Closed() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::int16_t> samples_;
  MemoryInputEnd at_end_;
  std::size_t position_ = 0;  // in bytes
  bool finished_ = false;
  bool open_ = false;
};

class MemoryDevice : public Device {
 public:
  explicit MemoryDevice(std::shared_ptr<MemoryDriver> driver) : driver_(std::move(driver)) {}

  MMRESULT Start() override {
    started_ = true;
    driver_->Pump(queue_);
    return MMSYSERR_NOERROR;
  }
  MMRESULT Stop() override {
    started_ = false;
    if (!queue_.empty() && queue_.head()->dwBytesRecorded > 0) queue_.CompleteHead();
    return MMSYSERR_NOERROR;
  }
  MMRESULT Reset() override {
    started_ = false;
    queue_.CompleteAll();
    return MMSYSERR_NOERROR;
  }
  MMRESULT AddBuffer(WAVEHDR* header) override {
    queue_.Add(header);
    if (started_) driver_->Pump(queue_);
    return MMSYSERR_NOERROR;
  }
  bool HasQueued() override { return !queue_.empty(); }
  void Close() override { driver_->Closed(); }

 private:
  std::shared_ptr<MemoryDriver> driver_;
  BufferQueue queue_;
  bool started_ = false;
};

MMRESULT MemoryDriver::Open(std::unique_ptr<Device>& device) {
  {
    std::lock_guard lock(mutex_);
    if (open_) return Fail(MMSYSERR_ALLOCATED, "Device 0 is already open.");
    open_ = true;
  }
  device = std::make_unique<MemoryDevice>(shared_from_this());
  return MMSYSERR_NOERROR;
}

struct Selection {
  std::mutex mutex;
  std::shared_ptr<Driver> driver;
};

Selection& TheSelection() {
  static Selection selection;
  return selection;
}

void Select(std::shared_ptr<Driver> driver) {
  Selection& selection = TheSelection();
  std::shared_ptr<Driver> old;
  {
    std::lock_guard lock(selection.mutex);
    old = std::exchange(selection.driver, std::move(driver));
  }
  // `old` is released here, outside the lock: a pulse driver tears down its connection.
}

}  // namespace

std::shared_ptr<Driver> CurrentDriver() {
  Selection& selection = TheSelection();
  std::lock_guard lock(selection.mutex);
  if (!selection.driver) {
    selection.driver = MakePulseDriver(PulseWaveInputOptions{});
  }
  return selection.driver;
}

}  // namespace quorvane::wavein

namespace quorvane {

void UsePulseWaveInput(PulseWaveInputOptions options) {
  options.keep_connection_ms = std::max(options.keep_connection_ms, 0);
  options.fragment_ms = std::max(options.fragment_ms, 1);
  wavein::Select(wavein::MakePulseDriver(options));
}

void UseMemoryWaveInput(std::vector<std::int16_t> samples, MemoryInputEnd at_end) {
  wavein::Select(std::make_shared<wavein::MemoryDriver>(std::move(samples), at_end));
}

std::size_t MemoryWaveInputPosition() {
  auto* memory = dynamic_cast<wavein::MemoryDriver*>(wavein::CurrentDriver().get());
  return memory == nullptr ? 0 : memory->Position();
}

}  // namespace quorvane
