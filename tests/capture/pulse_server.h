#pragma once

// A private PulseAudio server for one test (or the shared one the CTest fixture started),
// driven through tools/pulse-test-server, and a player feeding known sound into its sink.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorvane::testing {

class PulseServer {
 public:
  // The server the fixture started (folder in QUORVANE_TEST_PULSE_DIR); already running.
  static PulseServer Shared();
  // A new server in a fresh folder under /tmp, started; stopped and removed by the destructor.
  static PulseServer Private();

  PulseServer(PulseServer&& other) noexcept;
  PulseServer& operator=(PulseServer&&) = delete;
  ~PulseServer();

  const std::string& dir() const { return dir_; }
  bool ok() const { return ok_; }

  // Points this process's PulseAudio clients (and pactl) at the server.
  void UseFromThisProcess() const;
  // The same settings, for the environment of a process started separately.
  std::map<std::string, std::string> Environment() const;

  bool Start();
  void Stop();
  void KillHard();  // kill -9, stale pid file removed
  bool Restart();   // kill -9, then start
  pid_t Pid() const;

  // Runs pactl against this server; returns its standard output, or "" on failure.
  std::string Pactl(const std::string& arguments) const;
  int Clients() const;  // lines of `pactl list short clients`, pactl itself not counted
  std::string ModuleIndex(const std::string& module_name) const;

 private:
  PulseServer(std::string dir, bool owned) : dir_(std::move(dir)), owned_(owned) {}
  std::string Tool(const std::string& command) const;

  std::string dir_;
  bool owned_ = false;
  bool ok_ = false;
  std::vector<std::string> env_;
};

// Plays raw 16-bit mono 22050/s samples into the sink of the server in use, looping them, at
// low latency (without it the monitor delivers in lumps of 2 s).
class Player {
 public:
  Player(const std::string& dir, const std::vector<std::int16_t>& samples);
  ~Player();
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  std::string file_;
};

// A sine of `cycles_per_block` whole cycles per 8192 samples, `blocks` blocks long (so it
// loops seamlessly), peak `amplitude` of full scale.
std::vector<std::int16_t> Tone(int cycles_per_block, double amplitude, int blocks);

// |X(k)| of a real block, plain DFT.
double DftMagnitude(const std::vector<double>& block, int bin);

int ThreadCount();

double MillisecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace quorvane::testing
