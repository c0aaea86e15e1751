#include "capture/capture_states.h"

namespace quorvane::wavein {

const char* ToString(Link link) {
  switch (link) {
    case Link::kOff:
      return "off";
    case Link::kConnecting:
      return "connecting";
    case Link::kFinding:
      return "finding device 0";
    case Link::kStarting:
      return "starting the stream";
    case Link::kReady:
      return "ready";
    case Link::kInUse:
      return "in use";
    case Link::kBroken:
      return "broken";
    case Link::kFailed:
      return "failed";
    case Link::kWatching:
      return "watching for an input";
  }
  return "?";
}

bool LinkMayGo(Link from, Link to) {
  switch (from) {
    case Link::kOff:  // an open connects; a server that is not there fails at once
      return to == Link::kConnecting || to == Link::kFailed;
    case Link::kConnecting:
      return to == Link::kFinding || to == Link::kFailed;
    case Link::kFinding:  // found, or not; a source that came meanwhile means a new look
      return to == Link::kStarting || to == Link::kFinding || to == Link::kWatching ||
             to == Link::kFailed;
    case Link::kStarting:
      return to == Link::kReady || to == Link::kFinding || to == Link::kWatching ||
             to == Link::kFailed;
    case Link::kReady:  // an open takes it; unclaimed or lost, it goes
      return to == Link::kInUse || to == Link::kOff;
    case Link::kInUse:  // closed healthy, closed after a fault, or failed under the device
      return to == Link::kReady || to == Link::kOff || to == Link::kBroken;
    case Link::kBroken:
    case Link::kFailed:
      return to == Link::kOff;
    case Link::kWatching:  // an open keeps the watch; a new source looks again
      return to == Link::kWatching || to == Link::kFinding || to == Link::kOff;
  }
  return false;
}

const char* ToString(DeviceState state) {
  switch (state) {
    case DeviceState::kOpen:
      return "open";
    case DeviceState::kStarted:
      return "started";
    case DeviceState::kFaulted:
      return "faulted";
    case DeviceState::kClosed:
      return "closed";
  }
  return "?";
}

const char* ToString(DeviceEvent event) {
  switch (event) {
    case DeviceEvent::kStart:
      return "start";
    case DeviceEvent::kStop:
      return "stop";
    case DeviceEvent::kReset:
      return "reset";
    case DeviceEvent::kFault:
      return "fault";
    case DeviceEvent::kClose:
      return "close";
  }
  return "?";
}

DeviceState NextDeviceState(DeviceState state, DeviceEvent event) {
  if (state == DeviceState::kClosed || event == DeviceEvent::kClose) return DeviceState::kClosed;
  if (state == DeviceState::kFaulted || event == DeviceEvent::kFault) return DeviceState::kFaulted;
  return event == DeviceEvent::kStart ? DeviceState::kStarted : DeviceState::kOpen;
}

}  // namespace quorvane::wavein
