#pragma once

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "apps/analyse/live.h"
#include "apps/analyse/spectrogram.h"

namespace quorvane {

constexpr int kExitInput = 1;
constexpr int kExitUsage = 2;

// The synopsis, printed with --help and after a usage error.
extern const char* const kUsage;

struct AnalyseOptions {
  std::vector<std::string> inputs;
  bool live = false;
  LiveOptions live_options;
  bool json = false;
  int ref_level = 30;
  double a4_hz = 440;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::optional<std::string> png;
  std::optional<std::string> frames_dir;
  std::optional<std::string> out_dir;
  SpectrogramSettings spectrogram;  // no path: no spectrogram
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The command line's options, checked against each other; a UsageError saying what is wrong.
// Returns nullopt after --help or --version, which print their text.
std::optional<AnalyseOptions> ParseOptions(int argc, char** argv);

}  // namespace quorvane
