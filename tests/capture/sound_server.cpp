#include "sound_server.h"

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

std::string Missing(const std::vector<std::string>& programs) {
  std::string missing;
  for (const std::string& program : programs) {
    if (std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) != 0) {
      missing += program + " ";
    }
  }
  return missing.empty() ? missing : "not installed: " + missing + "(tools/install-deps)";
}

std::vector<std::string> ServerPrograms(const std::string& kind) {
  if (kind == "pipewire")
    return {"pipewire", "wireplumber", "pipewire-pulse", "pw-metadata", "pactl"};
  return {"pulseaudio", "pactl", "pacat"};
}

SoundServer::SoundServer(std::string kind, bool start) : kind_(std::move(kind)) {
  char pattern[] = "/tmp/qv-sound-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  dir_ = pattern;
  ok_ = Tool(start ? "start" : "env");
}

SoundServer SoundServer::Shared(const std::string& kind) {
  SoundServer server;
  server.kind_ = kind;
  server.owned_ = false;
  std::istringstream words(
      std::getenv("QUORVANE_SHARED_SERVERS") ? std::getenv("QUORVANE_SHARED_SERVERS") : "");
  for (std::string word; words >> word;) {
    if (word.rfind(kind + "=", 0) == 0) server.dir_ = word.substr(kind.size() + 1);
  }
  server.ok_ = !server.dir_.empty() && server.Pid() > 0;
  return server;
}

SoundServer::SoundServer(SoundServer&& other) noexcept
    : kind_(other.kind_),
      dir_(std::exchange(other.dir_, {})),
      ok_(other.ok_),
      owned_(other.owned_) {}

SoundServer::~SoundServer() {
  if (dir_.empty() || !owned_) return;
  Tool("stop");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string SoundServer::Run(const std::string& command, int* status) const {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
      output.append(chunk, n);
    const int rc = pclose(pipe);
    if (status != nullptr) *status = rc;
  }
  return output;
}

bool SoundServer::Tool(const std::string& command) {
  int status = -1;
  // The servers die with this process, whatever kills it.
  Run("OWNER=" + std::to_string(getpid()) + " KIND=" + kind_ + " '" QUORVANE_PULSE_TOOL "' " +
          command + " '" + dir_ + "' >/dev/null 2>>'" + dir_ + "/tool.log'",
      &status);
  return status == 0;
}

std::map<std::string, std::string> SoundServer::Environment() const {
  std::map<std::string, std::string> environment;
  std::istringstream lines(Run("KIND=" + kind_ + " '" QUORVANE_PULSE_TOOL "' env '" + dir_ + "'"));
  for (std::string line; std::getline(lines, line);) {
    if (const auto eq = line.find('='); eq != std::string::npos) {
      environment[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return environment;
}

void SoundServer::UseFromThisProcess() const {
  for (const auto& [key, value] : Environment()) setenv(key.c_str(), value.c_str(), 1);
}

pid_t SoundServer::Pid() {
  return static_cast<pid_t>(std::atoi(Run("'" QUORVANE_PULSE_TOOL "' pid '" + dir_ + "'").c_str()));
}

std::string SoundServer::Pactl(const std::string& arguments) const {
  std::string command;
  for (const auto& [key, value] : Environment()) command += key + "='" + value + "' ";
  int status = -1;
  std::string output = Run(command + "pactl " + arguments + " 2>/dev/null", &status);
  return status == 0 ? output : std::string();
}

int SoundServer::Clients() const {
  std::istringstream lines(Pactl("list short clients"));
  int count = 0;
  for (std::string line; std::getline(lines, line);)
    count += line.find("pactl") == std::string::npos;
  return count;
}

Player::Player(const SoundServer& server, const std::vector<std::int16_t>& samples)
    : file_(server.dir() + "/play-" + std::to_string(rand()) + ".raw") {
  std::ofstream(file_, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()),
             static_cast<std::streamsize>(samples.size() * sizeof(std::int16_t)));
  std::string script = "exec 0</dev/null 1>/dev/null 2>&1; ";
  for (const auto& [key, value] : server.Environment())
    script += "export " + key + "='" + value + "'; ";
  // pacat cannot loop; it fails, ending the loop, once the server is gone for good.
  script +=
      "while pacat --playback --device=test_sink --format=s16le --rate=22050 "
      "--channels=1 --latency-msec=20 '" +
      file_ + "'; do :; done";
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawn(&pid_, "/bin/sh", nullptr, &attributes, const_cast<char**>(argv), environ);
  posix_spawnattr_destroy(&attributes);
}

Player::~Player() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);  // its own process group: the loop and its pacat
    waitpid(pid_, nullptr, 0);
  }
  std::remove(file_.c_str());
}

std::vector<std::int16_t> Tone(int cycles, double amplitude, int blocks) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(blocks) * 8192);
  for (std::size_t n = 0; n < samples.size(); ++n) {
    const double phase = 2 * std::numbers::pi * cycles * static_cast<double>(n) / 8192;
    samples[n] = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(phase)));
  }
  return samples;
}

}  // namespace quorvane::testing
