// Every input kept from fuzzing quorvane-analyse goes through decoding and the block cycle
// again: refused or analysed, never a crash, a leak or a run-time error (the sanitizer build
// checks the first two).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/analyse/bytes_entry.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Bytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(FuzzRegressions, KeptInputsAreRefusedOrAnalysed) {
  const fs::path corpus = QUORVANE_FUZZ_CORPUS;
  std::size_t inputs = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    const std::vector<std::uint8_t> bytes = Bytes(entry.path());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_NO_THROW(AnalyseBytes(bytes.data(), bytes.size()));
    ++inputs;
  }
  EXPECT_GT(inputs, 0u);
}

TEST(FuzzRegressions, AWholeBlockOfSoundIsAnalysed) {
  // 0.4 s of a 1 kHz tone in a WAV file: one whole block.
  const std::vector<std::uint8_t> bytes = Bytes(fs::path(QUORVANE_FUZZ_CORPUS) / "s1.wav.seed");
  EXPECT_EQ(AnalyseBytes(bytes.data(), bytes.size()), 1u);
}

}  // namespace
}  // namespace quorvane
