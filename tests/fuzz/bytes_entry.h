#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

// Decodes and analyses arbitrary bytes the way quorvane-analyse does a file (or, when the
// first byte is odd, the rest as raw standard input), with every block through the headless
// analyser. Unreadable input is refused as the command refuses it; anything else that goes
// wrong (a crash, a leak, a run-time error of the analysis) is a fault. Returns the number of
// blocks analysed. The fuzzer's entry and its regression test both come through here.
std::size_t AnalyseBytes(const std::uint8_t* data, std::size_t size);

}  // namespace quorvane
