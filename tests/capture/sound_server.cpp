#include "sound_server.h"

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

namespace quorvane::testing {

std::string Run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char chunk[4096];
  for (std::size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, n);
  }
  if (pipe != nullptr) pclose(pipe);
  return output;
}

std::string Missing(const std::vector<std::string>& programs) {
  std::string missing;
  for (const std::string& program : programs) {
    if (std::system(("command -v " + program + " >/dev/null").c_str()) != 0)
      missing += program + " ";
  }
  return missing.empty() ? "" : "not installed (tools/install-deps): " + missing;
}

std::vector<std::string> ServerPrograms(const std::string& kind) {
  if (kind == "pipewire") return {"pipewire", "wireplumber", "pipewire-pulse", "pactl", "pacat"};
  return {"pulseaudio", "pactl", "pacat"};
}

SoundServer::SoundServer(std::string kind_in, bool start, bool shared)
    : kind(std::move(kind_in)), owned(!shared) {
  const char* folder = std::getenv("QUORVANE_SHARED");
  char pattern[] = "/tmp/qv-sound-XXXXXX";
  dir = shared ? std::string(folder == nullptr ? "/nonexistent" : folder) + "-" + kind
               : mkdtemp(pattern);
  if (owned) Tool(start ? "start" : "env");
}

SoundServer::~SoundServer() {
  if (!owned) return;
  Tool("stop");
  std::filesystem::remove_all(dir);
}

std::string SoundServer::Tool(const std::string& command, const std::string& arguments) const {
  // Its servers die with this process.
  const std::string line = "OWNER=" + std::to_string(getpid()) + " KIND=" + kind +
                           " " QUORVANE_PULSE_TOOL " " + command + " " + dir + " " + arguments +
                           " 2>/dev/null";
  return Run(line);
}

std::vector<std::string> SoundServer::Environment() const {
  std::vector<std::string> lines;
  std::istringstream out(Tool("env"));
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

void SoundServer::UseFromThisProcess() const {
  for (const std::string& line : Environment()) putenv(strdup(line.c_str()));
}

Player::Player(const SoundServer& server, const std::vector<std::int16_t>& samples) {
  const std::string file = server.dir + "/tone.raw";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()),
             static_cast<std::streamsize>(samples.size() * sizeof(std::int16_t)));
  group = std::atoi(server.Tool("play", file).c_str());
}

Player::~Player() {
  if (group > 0) kill(-group, SIGTERM);
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
