#include "pulse_server.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <utility>

extern char** environ;

namespace quorvane::testing {

namespace {

std::string Run(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  const int rc = pclose(pipe);
  if (status != nullptr) *status = rc;
  return output;
}

std::string Quote(const std::string& text) {
  return "'" + text + "'";
}

// The NAME=value lines of the tool's output.
std::vector<std::string> Assignments(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.find('=') != std::string::npos) lines.push_back(line);
  }
  return lines;
}

}  // namespace

PulseServer PulseServer::Shared() {
  const char* dir = std::getenv("QUORVANE_TEST_PULSE_DIR");
  PulseServer server(dir == nullptr ? "" : dir, false);
  if (dir == nullptr) return server;
  server.env_ = Assignments(server.Tool("env"));
  server.ok_ = !server.env_.empty() && server.Pid() > 0;
  return server;
}

PulseServer PulseServer::Private() {
  char pattern[] = "/tmp/qv-pulse-XXXXXX";
  const char* dir = mkdtemp(pattern);
  PulseServer server(dir == nullptr ? "" : dir, true);
  if (dir != nullptr) server.Start();
  return server;
}

PulseServer::PulseServer(PulseServer&& other) noexcept
    : dir_(std::move(other.dir_)),
      owned_(std::exchange(other.owned_, false)),
      ok_(other.ok_),
      env_(std::move(other.env_)) {}

PulseServer::~PulseServer() {
  if (!owned_ || dir_.empty()) return;
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string PulseServer::Tool(const std::string& command) const {
  return Run(Quote(QUORVANE_PULSE_TOOL) + " " + command + " " + Quote(dir_) + " 2>&1");
}

std::map<std::string, std::string> PulseServer::Environment() const {
  std::map<std::string, std::string> environment;
  for (const std::string& line : env_) {
    const auto eq = line.find('=');
    environment[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return environment;
}

void PulseServer::UseFromThisProcess() const {
  for (const auto& [key, value] : Environment()) setenv(key.c_str(), value.c_str(), 1);
}

bool PulseServer::Start() {
  int status = -1;
  const std::string output = Run(Quote(QUORVANE_PULSE_TOOL) + " start " + Quote(dir_), &status);
  env_ = Assignments(output);
  ok_ = status == 0 && !env_.empty();
  return ok_;
}

void PulseServer::Stop() {
  Tool("stop");
}

void PulseServer::KillHard() {
  Tool("kill");
}

bool PulseServer::Restart() {
  KillHard();
  return Start();
}

pid_t PulseServer::Pid() const {
  return static_cast<pid_t>(std::atoi(Tool("pid").c_str()));
}

std::string PulseServer::Pactl(const std::string& arguments) const {
  std::string command;
  for (const std::string& line : env_) command += line + " ";
  int status = -1;
  std::string output = Run(command + "pactl " + arguments + " 2>/dev/null", &status);
  return status == 0 ? output : std::string();
}

int PulseServer::Clients() const {
  std::istringstream lines(Pactl("list short clients"));
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("pactl") == std::string::npos) ++count;
  }
  return count;
}

std::string PulseServer::ModuleIndex(const std::string& module_name) const {
  std::istringstream lines(Pactl("list short modules"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, name;
    fields >> index >> name;
    if (name == module_name) return index;
  }
  return "";
}

Player::Player(const std::string& dir, const std::vector<std::int16_t>& samples) {
  file_ = dir + "/play-" + std::to_string(getpid()) + "-" + std::to_string(rand()) + ".raw";
  {
    std::ofstream out(file_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * sizeof(std::int16_t)));
  }
  // pacat cannot loop, so a shell loop replays the file until the player is stopped.
  const std::string script =
      "exec 0</dev/null 1>/dev/null 2>&1; while :; do pacat --playback "
      "--device=test_sink --format=s16le --rate=22050 --channels=1 "
      "--latency-msec=20 '" +
      file_ + "' || exit 1; done";
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", nullptr, &attributes, const_cast<char**>(argv), environ) == 0) {
    pid_ = pid;
  }
  posix_spawnattr_destroy(&attributes);
}

Player::~Player() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);  // its own process group: the loop and its pacat
    waitpid(pid_, nullptr, 0);
  }
  std::remove(file_.c_str());
}

std::vector<std::int16_t> Tone(int cycles_per_block, double amplitude, int blocks) {
  const auto count = static_cast<std::size_t>(blocks) * 8192;
  std::vector<std::int16_t> samples(count);
  for (std::size_t n = 0; n < count; ++n) {
    const double phase = 2 * std::numbers::pi * cycles_per_block * static_cast<double>(n) / 8192;
    samples[n] = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
  }
  return samples;
}

double DftMagnitude(const std::vector<double>& block, int bin) {
  double re = 0, im = 0;
  const double n_total = static_cast<double>(block.size());
  for (std::size_t n = 0; n < block.size(); ++n) {
    const double angle = -2 * std::numbers::pi * bin * static_cast<double>(n) / n_total;
    re += block[n] * std::cos(angle);
    im += block[n] * std::sin(angle);
  }
  return std::hypot(re, im);
}

int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace quorvane::testing
