// The capture's lifecycles as tables, with no sound server: which changes of the connection are
// expected, and what each call or fault makes of an open device.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "capture/capture_states.h"

namespace quorvane::wavein {
namespace {

constexpr Link kLinks[] = {Link::kOff,      Link::kConnecting, Link::kFinding,
                           Link::kStarting, Link::kReady,      Link::kInUse,
                           Link::kBroken,   Link::kFailed,     Link::kWatching};

// Every change the driver makes, by what brings it; anything else is logged as unexpected.
TEST(LinkTable, HoldsTheChangesTheDriverMakesAndNoOthers) {
  const std::set<std::pair<Link, Link>> expected = {
      {Link::kOff, Link::kConnecting},      // an open connects
      {Link::kOff, Link::kFailed},          // the server is not there at all
      {Link::kConnecting, Link::kFinding},  // connected
      {Link::kConnecting, Link::kFailed},   // refused, or no answer in time
      {Link::kFinding, Link::kStarting},    // device 0 found: its stream connects
      {Link::kFinding, Link::kFinding},     // a source came during the look: look again
      {Link::kFinding, Link::kWatching},    // no input to record: watch for one
      {Link::kFinding, Link::kFailed},      // the connection went meanwhile
      {Link::kStarting, Link::kReady},      // the stream runs
      {Link::kStarting, Link::kFinding},    // a source came, or the stream failed: look again
      {Link::kStarting, Link::kWatching},   // the stream failed on a live connection
      {Link::kStarting, Link::kFailed},     // the connection went meanwhile
      {Link::kReady, Link::kInUse},         // an open takes the stream
      {Link::kReady, Link::kOff},           // unclaimed for a while, or lost
      {Link::kInUse, Link::kReady},         // closed healthy: kept for the next open
      {Link::kInUse, Link::kOff},           // closed after a fault, or nothing is kept
      {Link::kInUse, Link::kBroken},        // failed under the device
      {Link::kBroken, Link::kOff},          // the device closed
      {Link::kFailed, Link::kOff},          // the next open reports the failure
      {Link::kWatching, Link::kWatching},   // an open, still wanting device 0
      {Link::kWatching, Link::kFinding},    // a new source or a new default
      {Link::kWatching, Link::kOff},        // unclaimed for a while, or lost
  };
  for (const Link from : kLinks) {
    for (const Link to : kLinks) {
      EXPECT_EQ(LinkMayGo(from, to), expected.contains({from, to}))
          << ToString(from) << " -> " << ToString(to);
    }
  }
  std::set<std::string> names;
  for (const Link link : kLinks) names.insert(ToString(link));
  EXPECT_EQ(names.size(), std::size(kLinks)) << "every state its own name";
}

// A device records only between a start and a stop, a fault holds until the close, and a
// closed device stays closed whatever comes.
TEST(DeviceTable, EachCallOrFaultFromEachState) {
  using S = DeviceState;
  using E = DeviceEvent;
  const struct {
    S state;
    E event;
    S next;
  } cases[] = {
      {S::kOpen, E::kStart, S::kStarted},    {S::kOpen, E::kStop, S::kOpen},
      {S::kOpen, E::kReset, S::kOpen},       {S::kOpen, E::kFault, S::kFaulted},
      {S::kOpen, E::kClose, S::kClosed},     {S::kStarted, E::kStart, S::kStarted},
      {S::kStarted, E::kStop, S::kOpen},     {S::kStarted, E::kReset, S::kOpen},
      {S::kStarted, E::kFault, S::kFaulted}, {S::kStarted, E::kClose, S::kClosed},
      {S::kFaulted, E::kStart, S::kFaulted}, {S::kFaulted, E::kStop, S::kFaulted},
      {S::kFaulted, E::kReset, S::kFaulted}, {S::kFaulted, E::kFault, S::kFaulted},
      {S::kFaulted, E::kClose, S::kClosed},  {S::kClosed, E::kStart, S::kClosed},
      {S::kClosed, E::kStop, S::kClosed},    {S::kClosed, E::kReset, S::kClosed},
      {S::kClosed, E::kFault, S::kClosed},   {S::kClosed, E::kClose, S::kClosed},
  };
  for (const auto& [state, event, next] : cases) {
    EXPECT_EQ(NextDeviceState(state, event), next) << ToString(state) << " on " << ToString(event);
  }
}

}  // namespace
}  // namespace quorvane::wavein
