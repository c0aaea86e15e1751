#pragma once

// Private sound servers for tests through tools/pulse-test-server: PulseAudio, or PipeWire with
// pipewire-pulse.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::testing {

// What a shell command prints on its standard output.
inline std::string Run(const std::string& command) {
  std::string output;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  for (int c; pipe != nullptr && (c = std::fgetc(pipe.get())) != EOF;)
    output += static_cast<char>(c);
  return output;
}

// Polls `done`, often at first, until it holds or `timeout` passes; returns `done`.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (std::chrono::milliseconds pause{1}; !done() && std::chrono::steady_clock::now() < end;
       pause = std::min(2 * pause, std::chrono::milliseconds{50})) {
    std::this_thread::sleep_for(pause);
  }
  return done();
}

// A test whose programs are missing skips, or fails when run in CI (CI set). `missing` names
// them, as SoundServer::Missing does.
#define QUORVANE_REQUIRE(missing)                               \
  if (const std::string absent = missing; absent.empty()) {     \
  } else if (std::getenv("CI") != nullptr) {                    \
    FAIL() << "not installed (tools/install-deps): " << absent; \
  } else                                                        \
    GTEST_SKIP() << "not installed (tools/install-deps): " << absent

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
  // What a command of the tool, with its arguments, prints: start (nothing when it failed), kill,
  // kill-all, restart, pid, env, pactl ARGUMENTS, clients, recording NAME, play FILE, signal SIG,
  // missing PROGRAMS ...
  std::string Tool(const std::string& command) const {
    const std::size_t name = std::min(command.find(' '), command.size());
    return Run("OWNER=" + std::to_string(getpid()) + " KIND=" + kind + " " QUORVANE_PULSE_TOOL " " +
               command.substr(0, name) + " " + dir + command.substr(name) + " 2>/dev/null");
  }
  // Which of the programs it needs, and of `others` (names apart), are not installed.
  std::string Missing(const std::string& others = "") const { return Tool("missing " + others); }
  int Clients() const { return std::atoi(Tool("clients").c_str()); }  // pactl not counted
  void UseFromThisProcess() const {  // the environment for its clients, which children inherit
    std::istringstream lines(Tool("env"));
    // putenv keeps the very string, for the process's life.
    // NOLINTNEXTLINE(clang-analyzer-unix.Malloc)
    for (std::string line; std::getline(lines, line);) putenv(strdup(line.c_str()));
  }

  std::string kind, dir;
  bool owned;
};

// Plays `cycles` whole cycles per 8192 samples at peak `amplitude` of full scale, `blocks` such
// blocks long (16-bit mono 22050/s), into the server's sink (or `sink`) over and over until
// destroyed.
struct Player {
  Player(const SoundServer& server, int cycles, double amplitude, int blocks,
         const std::string& sink = "") {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(blocks) * 8192);
    for (std::size_t n = 0; n < samples.size(); ++n) {
      const double phase = 2 * std::numbers::pi * cycles * static_cast<double>(n) / 8192;
      samples[n] = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
    }
    const std::string file = server.dir + "/tone" + std::to_string(cycles) + ".raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(std::int16_t)));
    group = std::atoi(server.Tool("play " + file + " " + sink).c_str());
  }
  ~Player() {
    if (group > 0) kill(-group, SIGTERM);
  }
  int group;
};

}  // namespace quorvane::testing
