// Every input kept from fuzzing quorvane-analyse goes through decoding and the block cycle
// again: refused or analysed, never a crash, a leak or a run-time error (the sanitizer build
// checks the first two).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/bytes_entry.h"

namespace quorvane {

TEST(FuzzRegressions, KeptInputsAreRefusedOrAnalysed) {
  for (const auto& entry : std::filesystem::directory_iterator(QUORVANE_FUZZ_CORPUS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    std::size_t blocks = 0;
    EXPECT_NO_THROW(blocks = AnalyseBytes(bytes.data(), bytes.size())) << entry.path();
    // 0.4 s of a 1 kHz tone in a WAV file: one whole block.
    EXPECT_TRUE(entry.path().filename() != "s1.wav.seed" || blocks == 1) << blocks;
  }
}

}  // namespace quorvane
