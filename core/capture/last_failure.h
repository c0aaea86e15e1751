#pragma once

// Inside the wave-input layer: the store behind Fail (capture/wave_driver.h), the reason of the
// most recent failing call, read back by waveInGetErrorTextA.

#include <string>

#include "capture/wavein.h"

namespace quorvane::wavein {

// The driver's sentence stored with the most recent failure when that failure's code is
// `code`; empty when it was another code or came without one. Any thread.
std::string LastFailureDetail(MMRESULT code);

}  // namespace quorvane::wavein
