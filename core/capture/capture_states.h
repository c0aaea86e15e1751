#pragma once

// The lifecycles of the capture over a sound server, each one enum with its changes in one
// table: the connection (Link) and an open device (DeviceState). Plain data, no libpulse, so
// the tables are tested without a server; with QUORVANE_DEBUG=capture each change is logged.

namespace quorvane::wavein {

// Where device 0's connection stands. Every change goes through PulseDriver::Enter.
enum class Link {
  kOff,         // no connection
  kConnecting,  // reaching the server
  kFinding,     // connected; finding device 0
  kStarting,    // the record stream is connecting to device 0
  kReady,       // the stream runs, its sound kept for the next open, which takes it at once
  kInUse,       // a device records from the stream
  kBroken,      // the connection or the stream failed under a device; released when it closes
  kFailed,      // a preparation failed and the connection is gone; the next open reports it
  kWatching,    // connected, but device 0 could not be recorded; the next open reports it,
                // and a new source or a new default starts finding device 0 again
};
const char* ToString(Link link);
// Whether the connection may go from `from` to `to` (staying is a change too where the state
// starts again: a new look for device 0, an open that keeps a watch going).
bool LinkMayGo(Link from, Link to);

// Where an open device stands. Every change goes through PulseDevice::Enter.
enum class DeviceState {
  kOpen,     // handed out by an open; buffers may be queued, nothing recorded into them
  kStarted,  // recording into the queued buffers
  kFaulted,  // the stream or the connection failed; every call returns the fault
  kClosed,   // closed, and the connection handed back to the driver
};
enum class DeviceEvent { kStart, kStop, kReset, kFault, kClose };
const char* ToString(DeviceState state);
const char* ToString(DeviceEvent event);
// What `event` makes of a device in `state`. A fault holds until the close; nothing reopens a
// closed device.
DeviceState NextDeviceState(DeviceState state, DeviceEvent event);

}  // namespace quorvane::wavein
