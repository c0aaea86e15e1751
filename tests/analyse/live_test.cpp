// quorvane-analyse --live as a user runs it, on the private PulseAudio and PipeWire servers that
// CTest's fixtures started for these tests to share: a tone's rows, Ctrl-C, no server at all,
// and the tuner line on a terminal.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/capture/sound_server.h"

namespace quorvane {
namespace {

using namespace std::literals;
namespace fs = std::filesystem;

constexpr int kCycles = 163;  // per block: 438.739 Hz, A4 -5.0 cents
constexpr double kToneHz = kCycles * 22050.0 / 8192;

std::string Text(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The tool in the background, its standard output and error in files.
struct Tool {
  Tool(const std::string& command, const fs::path& dir) : out(dir / "out"), err(dir / "err") {
    const std::string shell = "exec " + command + " >" + out.string() + " 2>" + err.string();
    const char* argv[] = {"sh", "-c", shell.c_str(), nullptr};
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      pid = -1;
  }
  ~Tool() {
    if (pid > 0 && Wait(0ms) == -1) kill(pid, SIGKILL), Wait(5s);
  }
  // The exit status, or -1 while it runs after `timeout`.
  int Wait(std::chrono::milliseconds timeout) {
    testing::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid && (pid = 0, true); },
                     timeout);
    return pid == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream file(out);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
  fs::path out, err;
  pid_t pid = -1;
  int status = 0;
};

struct Live : ::testing::TestWithParam<const char*> {
  void SetUp() override {
    QUORVANE_REQUIRE(server.Missing("script"));
    ASSERT_FALSE(server.Tool("pid").empty()) << "no shared server; run through ctest";
    server.UseFromThisProcess();
    fs::create_directories(dir);
    player = std::make_unique<testing::Player>(server, kCycles, 0.5, 40);
    // Until the player's stream joins the clock's on the sink.
    testing::WaitFor(
        [&] { return std::ranges::count(server.Tool("pactl list short sink-inputs"), '\n') > 1; },
        5s);
  }
  void TearDown() override {
    player.reset();
    fs::remove_all(dir);
  }
  bool StreamGone() const {
    return testing::WaitFor([&] { return server.Tool("recording 'Quorvane Spectrum'").empty(); },
                            5s);
  }
  testing::SoundServer server{GetParam(), false, true};
  std::unique_ptr<testing::Player> player;
  fs::path dir = fs::temp_directory_path() / ("quorvane-live-" + std::string(GetParam()));
};

// A whole row of the tone; its fine frequency and start, in seconds.
std::optional<std::pair<double, double>> ToneRow(const std::string& row, int block) {
  std::smatch match;
  if (!std::regex_match(
          row, match,
          std::regex(std::to_string(block) + ",([0-9.]+),438(,-?[0-9]+){3},([0-9.]+),A4,-5.0")))
    return std::nullopt;
  return std::pair(std::stod(match[3]), std::stod(match[1]));
}

TEST_P(Live, AToneRowByRowEachWithinAHundredthOfAHertz) {
  Tool tool(QUORVANE_ANALYSE " --live --blocks 5", dir);
  ASSERT_EQ(tool.Wait(30s), 0) << Text(tool.err);
  const auto rows = tool.Lines();
  ASSERT_EQ(rows.size(), 6u) << Text(tool.out);
  double start = -1;
  for (int block = 0; block < 5; ++block) {
    const auto row = ToneRow(rows[block + 1], block);
    ASSERT_TRUE(row) << rows[block + 1];
    EXPECT_NEAR(row->first, kToneHz, 0.01);
    // The first block starts the clock; each is 0.37 s of sound and a restart after the last.
    EXPECT_TRUE(block == 0 ? row->second == 0 : row->second - start > 0.3) << rows[block + 1];
    start = row->second;
  }
  EXPECT_TRUE(Text(tool.err).empty()) << Text(tool.err);
  EXPECT_TRUE(StreamGone());
}

TEST_P(Live, CtrlCEndsAfterTheBlockInHandWithEveryRowWhole) {
  Tool tool(QUORVANE_ANALYSE " --live --json", dir);
  ASSERT_TRUE(testing::WaitFor([&] { return tool.Lines().size() >= 3; }, 20s));
  kill(tool.pid, SIGINT);
  EXPECT_EQ(tool.Wait(5s), 0);
  const std::string out = Text(tool.out);
  EXPECT_TRUE(out.ends_with("}\n")) << out;
  const auto rows = tool.Lines();
  for (std::size_t block = 0; block < rows.size(); ++block)
    EXPECT_TRUE(std::regex_match(rows[block], std::regex("\\{\"block\":" + std::to_string(block) +
                                                         ",.*\"noise_text\":\"-?[0-9]+\"\\}")))
        << rows[block];
  EXPECT_TRUE(StreamGone());
}

// A pseudo-terminal as standard output: a line rewritten per block; the cursor back at the end.
TEST_P(Live, TheTunerLineOnATerminalInItsCharset) {
  const struct {
    const char* locale;
    std::string needle;
  } cases[] = {{"C.UTF-8", "\\|·····▮·····\\|"}, {"C", "\\|\\.\\.\\.\\.\\.#\\.\\.\\.\\.\\.\\|"}};
  for (const auto& c : cases) {
    Tool tool("env LC_ALL="s + c.locale +
                  " script -qefc '" QUORVANE_ANALYSE " --live --blocks 3' /dev/null </dev/null",
              dir);
    ASSERT_EQ(tool.Wait(30s), 0) << Text(tool.err);
    const std::string out = Text(tool.out);
    EXPECT_TRUE(std::regex_search(out, std::regex("\rA4    -5\\.0 cents  " + c.needle +
                                                  "    438\\.7[34][0-9] Hz  sig -?[0-9]+ dB")))
        << out;
    EXPECT_TRUE(out.ends_with("\033[?25h\033[?7h")) << out;
    EXPECT_EQ(std::ranges::count(out, '\n'), 1) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, Live, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

// No server: status 1 and the reason, once the wait is over.
TEST(LiveWithoutServer, GivesUpAfterTheWaitWithTheReason) {
  testing::SoundServer none("pulseaudio", false);
  QUORVANE_REQUIRE(none.Missing());
  std::string environment = none.Tool("env");
  std::ranges::replace(environment, '\n', ' ');
  const auto start = std::chrono::steady_clock::now();
  Tool tool("env " + environment + QUORVANE_ANALYSE " --live --wait 2", none.dir);
  EXPECT_EQ(tool.Wait(5s), 1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(took > 2s && took < 3s) << (took / 1ms) << " ms";
  EXPECT_EQ(Text(tool.err),
            "quorvane-analyse: no sound input within 2.0 s: There is no sound input device with "
            "that number. "
            "Sound server: Connection refused.\n");
  EXPECT_EQ(tool.Lines(),
            std::vector<std::string>{
                "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db,peak_hz_fine,note,cents"});
}

}  // namespace
}  // namespace quorvane
