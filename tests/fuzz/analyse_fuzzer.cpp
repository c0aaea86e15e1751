// libFuzzer entry: arbitrary bytes as a sound file (or raw stream) through decoding and the
// whole block cycle. Build with -DQUORVANE_FUZZ=ON and clang; see README.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/bytes_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvane::AnalyseBytes(data, size);
  return 0;
}
