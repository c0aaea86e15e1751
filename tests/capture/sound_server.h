#pragma once

// Private sound servers for tests through tools/pulse-test-server: PulseAudio, or PipeWire with
// pipewire-pulse.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace quorvane::testing {

// What a shell command prints on its standard output.
std::string Run(const std::string& command);
// "" when all of `programs` are installed, else which are not.
std::string Missing(const std::vector<std::string>& programs);
std::vector<std::string> ServerPrograms(const std::string& kind);
// A test whose programs are missing skips, or fails when run in CI (CI set).
#define QUORVANE_REQUIRE(...)                                                                    \
  if (const std::string missing = ::quorvane::testing::Missing(__VA_ARGS__); !missing.empty()) { \
    if (std::getenv("CI") != nullptr) {                                                          \
      FAIL() << missing;                                                                         \
    } else {                                                                                     \
      GTEST_SKIP() << missing;                                                                   \
    }                                                                                            \
  }

struct SoundServer {
  // "pulseaudio" or "pipewire", started unless `start` is false, in a folder of its own; gone
  // with the object, or with this process whatever ends it. With `shared`, the one that CTest's
  // fixture started for tests to share instead (in folder $QUORVANE_SHARED-KIND).
  explicit SoundServer(std::string kind, bool start = true, bool shared = false);
  ~SoundServer();
  // What a command of the tool prints: start (nothing when it failed), kill, kill-all, restart,
  // pid, pactl ARGUMENTS, clients, play FILE ...
  std::string Tool(const std::string& command, const std::string& arguments = "") const;
  bool Started() const { return std::atoi(Tool("pid").c_str()) > 0; }
  std::vector<std::string> Environment() const;  // KEY=VALUE lines for its clients
  void UseFromThisProcess() const;

  std::string kind, dir;
  bool owned;
};

// Plays `samples` (16-bit mono 22050/s) into the server's sink, over and over, until destroyed.
struct Player {
  Player(const SoundServer& server, const std::vector<std::int16_t>& samples);
  ~Player();
  int group;
};

// `cycles` whole cycles per 8192 samples, `blocks` blocks long, peak `amplitude` of full scale.
std::vector<std::int16_t> Tone(int cycles, double amplitude, int blocks);

}  // namespace quorvane::testing
