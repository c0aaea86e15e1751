#pragma once

// Inside the wave-input layer: the table of open devices behind the HWAVEIN handles.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "capture/wave_driver.h"
#include "capture/wavein.h"

namespace quorvane::wavein {

struct OpenDevice {
  std::shared_ptr<Driver> driver;  // outlives the device
  std::unique_ptr<Device> device;
};

// Handles are numbers, never addresses, so a stale or made-up handle is simply not found.
// The waveIn* calls hold `mutex` while they use the table or a device in it.
struct DeviceHandles {
  std::mutex mutex;
  std::map<HWAVEIN, OpenDevice> open;
  std::uintptr_t next = 1;
};

// The process's one table.
DeviceHandles& TheDeviceHandles();

// The open device behind `hwi`, or null; with `handles.mutex` held.
Device* Find(DeviceHandles& handles, HWAVEIN hwi);

}  // namespace quorvane::wavein
