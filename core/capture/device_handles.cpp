#include "capture/device_handles.h"

namespace quorvane::wavein {

DeviceHandles& TheDeviceHandles() {
  static DeviceHandles handles;
  return handles;
}

Device* Find(DeviceHandles& handles, HWAVEIN hwi) {
  const auto it = handles.open.find(hwi);
  return it == handles.open.end() ? nullptr : it->second.device.get();
}

}  // namespace quorvane::wavein
