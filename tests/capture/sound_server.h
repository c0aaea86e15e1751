#pragma once

// Private sound servers for tests, started through tools/pulse-test-server (PulseAudio, or
// PipeWire with pipewire-pulse), and a player feeding known sound into one.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorvane::testing {

// Which of `programs` are not installed, as one message; empty when all are.
std::string Missing(const std::vector<std::string>& programs);

// Outside CI a test whose tools are missing skips; in CI (CI set) it fails, saying why.
#define QUORVANE_REQUIRE(...)                                                                    \
  if (const std::string missing = ::quorvane::testing::Missing(__VA_ARGS__); !missing.empty()) { \
    if (std::getenv("CI") != nullptr) {                                                          \
      FAIL() << missing;                                                                         \
    } else {                                                                                     \
      GTEST_SKIP() << missing;                                                                   \
    }                                                                                            \
  }

// The programs a server of `kind` needs.
std::vector<std::string> ServerPrograms(const std::string& kind);

class SoundServer {
 public:
  // `kind` is "pulseaudio" or "pipewire". Started unless `start` is false (the folder and the
  // client settings exist either way). Stopped and removed with the object, or with this
  // process if it dies first.
  explicit SoundServer(std::string kind, bool start = true);
  // The running server of `kind` that CTest's fixture started for several tests to share
  // (folder in QUORVANE_SHARED_SERVERS, "KIND=DIR" words); left running.
  static SoundServer Shared(const std::string& kind);
  SoundServer(SoundServer&& other) noexcept;
  ~SoundServer();
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& kind() const { return kind_; }
  bool ok() const { return ok_; }

  // Runs a command of the tool (start, kill, kill-all, restart, ...); true when it succeeded.
  bool Tool(const std::string& command);
  std::map<std::string, std::string> Environment() const;
  void UseFromThisProcess() const;
  pid_t Pid();                                            // of the process serving the protocol
  std::string Pactl(const std::string& arguments) const;  // its output; "" on failure
  int Clients() const;                                    // pactl itself not counted

 private:
  std::string Run(const std::string& command, int* status = nullptr) const;
  SoundServer() = default;
  std::string kind_, dir_;
  bool ok_ = false;
  bool owned_ = true;
};

// Plays samples (16-bit mono 22050/s) into the sink of `server` in a loop, until destroyed.
class Player {
 public:
  Player(const SoundServer& server, const std::vector<std::int16_t>& samples);
  ~Player();

 private:
  pid_t pid_ = -1;
  std::string file_;
};

// A sine with `cycles` whole cycles per 8192 samples (so it loops seamlessly), `blocks` blocks
// long, peak `amplitude` of full scale.
std::vector<std::int16_t> Tone(int cycles, double amplitude, int blocks);

}  // namespace quorvane::testing
