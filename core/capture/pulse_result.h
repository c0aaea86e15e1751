#pragma once

// libpulse's error codes as wave-input results: the one place where they are translated.

#include <string>

#include "capture/wavein.h"

namespace quorvane::wavein {

// What was going on when libpulse reported the error.
enum class PulseStage {
  kConnecting,  // reaching the server, which has not answered yet
  kPreparing,   // connected: finding device 0 or connecting the record stream to it
  kRecording,   // the stream was running (ready, or recording into a device's buffers)
};

struct PulseFailure {
  MMRESULT code;
  std::string detail;  // a sentence with the server's reason, for waveInGetErrorTextA
};

// The result for libpulse's `error` at `stage`; `connected` tells whether the connection to
// the server was still up when it happened.
PulseFailure FailureFromPulse(int error, PulseStage stage, bool connected);

// The result when the server gave no answer within `seconds`.
PulseFailure NoAnswerWithin(double seconds);

}  // namespace quorvane::wavein
