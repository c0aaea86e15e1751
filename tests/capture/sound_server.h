#pragma once

// Private sound servers for tests through tools/pulse-test-server: PulseAudio, or PipeWire with
// pipewire-pulse.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

namespace quorvane::testing {

// What a shell command prints on its standard output.
inline std::string Run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char chunk[4096];
  for (std::size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, n);
  }
  if (pipe != nullptr) pclose(pipe);
  return output;
}

// "" when all of `programs` are installed, else which are not.
inline std::string Missing(const std::vector<std::string>& programs) {
  std::string missing;
  for (const std::string& program : programs) {
    if (std::system(("command -v " + program + " >/dev/null").c_str()) != 0)
      missing += program + " ";
  }
  return missing.empty() ? "" : "not installed (tools/install-deps): " + missing;
}

inline std::vector<std::string> ServerPrograms(const std::string& kind) {
  if (kind == "pipewire") return {"pipewire", "wireplumber", "pipewire-pulse", "pactl", "pacat"};
  return {"pulseaudio", "pactl", "pacat"};
}

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
  explicit SoundServer(std::string kind_in, bool start = true, bool shared = false)
      : kind(std::move(kind_in)), owned(!shared) {
    const char* folder = std::getenv("QUORVANE_SHARED");
    char pattern[] = "/tmp/qv-sound-XXXXXX";
    dir = shared ? std::string(folder == nullptr ? "/nonexistent" : folder) + "-" + kind
                 : mkdtemp(pattern);
    if (owned) Tool(start ? "start" : "env");
  }
  ~SoundServer() {
    if (!owned) return;
    Tool("stop");
    std::filesystem::remove_all(dir);
  }
  // What a command of the tool prints: start (nothing when it failed), kill, kill-all, restart,
  // pid, env, pactl ARGUMENTS, clients, recording NAME, play FILE ...
  std::string Tool(const std::string& command, const std::string& arguments = "") const {
    return Run("OWNER=" + std::to_string(getpid()) + " KIND=" + kind + " " QUORVANE_PULSE_TOOL " " +
               command + " " + dir + " " + arguments + " 2>/dev/null");
  }
  bool Started() const { return std::atoi(Tool("pid").c_str()) > 0; }
  std::vector<std::string> Environment() const {  // KEY=VALUE lines for its clients
    std::vector<std::string> lines;
    std::istringstream out(Tool("env"));
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return lines;
  }
  void UseFromThisProcess() const {
    for (const std::string& line : Environment()) putenv(strdup(line.c_str()));
  }

  std::string kind, dir;
  bool owned;
};

// Plays `samples` (16-bit mono 22050/s) into the server's sink, over and over, until destroyed.
struct Player {
  Player(const SoundServer& server, const std::vector<std::int16_t>& samples) {
    const std::string file = server.dir + "/tone.raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(std::int16_t)));
    group = std::atoi(server.Tool("play", file).c_str());
  }
  ~Player() {
    if (group > 0) kill(-group, SIGTERM);
  }
  int group;
};

// `cycles` whole cycles per 8192 samples, `blocks` blocks long, peak `amplitude` of full scale.
inline std::vector<std::int16_t> Tone(int cycles, double amplitude, int blocks) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(blocks) * 8192);
  for (std::size_t n = 0; n < samples.size(); ++n) {
    const double phase = 2 * std::numbers::pi * cycles * static_cast<double>(n) / 8192;
    samples[n] = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
  }
  return samples;
}

}  // namespace quorvane::testing
