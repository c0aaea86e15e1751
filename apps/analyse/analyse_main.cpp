// quorvane-analyse: what the analyser window shows for live sound, for a recording, block by
// block. See --help and quorvane-analyse(1).

#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "analyser/analyser.h"
#include "apps/analyse/block_cycle.h"
#include "apps/analyse/block_report.h"
#include "apps/analyse/live.h"
#include "apps/analyse/sound_input.h"
#include "apps/analyse/spectrogram.h"
#include "apps/analyse/spectrogram_picture.h"
#include "apps/spectrum/form1.h"
#include "capture/wave_drivers.h"
#include "common/identity.h"
#include "common/runtime_error.h"

namespace {

using namespace quorvane;

constexpr int kExitInput = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxThreads = 256;

const char* const kUsage =
    "usage: quorvane-analyse [--json] [--ref-level N] [--a4 HZ] [--png FILE] [--frames DIR]\n"
    "                        [--threads N] [--spectrogram FILE [--size WxH] [--freq LO-HI]\n"
    "                        [--db LO-HI] [--freq-scale linear|log] [--window none|hann]]\n"
    "                        FILE|-\n"
    "       quorvane-analyse [--json] [--ref-level N] [--a4 HZ] [--threads N]\n"
    "                        [--spectrogram PICTURE_DIR [--size WxH] ...] --out DIR FILE...\n"
    "       quorvane-analyse --live [--json] [--a4 HZ] [--blocks N] [--seconds S] [--wait S]\n"
    "       quorvane-analyse --help | --version\n";

const char* const kHelp =
    "Analyses a recording the way the Quorvane Spectrum window analyses live sound: blocks of\n"
    "8192 samples at 22050/s, back to back, each giving the readouts the window shows. With\n"
    "--live, analyses the live sound itself, as the window records it.\n"
    "\n"
    "  FILE            any file libsndfile reads (WAV, FLAC, Ogg Vorbis, AIFF, ...); it is\n"
    "                  mixed to mono, resampled to 22050/s and rounded to 16 bits\n"
    "  -               raw signed 16-bit little-endian mono at 22050/s on standard input\n"
    "  --json          one JSON object per block instead of CSV, with the label texts\n"
    "  --ref-level N   reference level in dB, -60..60 (default 30), as the scroll bar sets it\n"
    "  --a4 HZ         tuning of the notes, 400..480 (default 440)\n"
    "  --png FILE      the window as it looks after the last block\n"
    "  --frames DIR    the window after every block, as DIR/block-000000.png, ...\n"
    "  --spectrogram FILE\n"
    "                  a picture of the whole recording: time across, frequency up, each\n"
    "                  block's own levels (unsmoothed) in colour on the inferno map, the\n"
    "                  loudest block and bin where several share a pixel; with --out, a\n"
    "                  folder for one picture per input (NAME.png)\n"
    "  --size WxH      the spectrogram's plot in pixels, 8..4096 each (default 1200x600)\n"
    "  --freq LO-HI    its frequency axis in Hz (default 0-11025; 270-2700 is the window's)\n"
    "  --db LO-HI      its colour range in dB (default: the recording's noise floor to its\n"
    "                  loudest level, on 10 dB steps)\n"
    "  --freq-scale linear|log\n"
    "                  frequency evenly in Hz (default), or in octaves from the low end of\n"
    "                  --freq (above 0; 20 Hz without --freq), ticks on 1-2-5 steps of\n"
    "                  decades or on octaves of 1 kHz\n"
    "  --window none|hann\n"
    "                  none (default): the picture shows the levels the rows give; hann: the\n"
    "                  picture's levels come through a Hann window over each block, a tone's\n"
    "                  skirt far narrower and a steady tone as loud; the rows do not change\n"
    "  --threads N     transform blocks on N threads (default: one per core); the output is\n"
    "                  the same whatever N\n"
    "  --out DIR       one file per input in DIR, named after the input (NAME.csv or\n"
    "                  NAME.json; NAME-2, NAME-3, ... when names repeat), inputs spread over\n"
    "                  the threads; failed inputs are listed and the others still written\n"
    "  --live          record from the first sound input (PULSE_SOURCE, else the desktop's\n"
    "                  default input, else the first that is not a monitor) block by block as\n"
    "                  the window does, and write each block's row as soon as it is analysed;\n"
    "                  on a terminal, without --json, a tuner line rewritten in place instead.\n"
    "                  Ctrl-C or SIGTERM ends it after the block in hand, with status 0\n"
    "  --blocks N      with --live: stop after N blocks\n"
    "  --seconds S     with --live: stop S seconds after the first block's start\n"
    "  --wait S        with --live: give up with status 1 when no block has arrived S seconds\n"
    "                  after start (default 10)\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "\n"
    "Output: CSV with the header\n"
    "  block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db,peak_hz_fine,note,cents\n"
    "peak_hz to noise_db are the window's readouts (peak_hz is the strongest bin, in steps of\n"
    "about 2.69 Hz). peak_hz_fine is the frequency of the block's one clear spectral line,\n"
    "estimated from its complex spectrum: within 0.001 Hz for a steady clean tone, 0.019 Hz\n"
    "RMS at 0 dB signal-to-noise per sample. note and cents name the nearest equal-tempered\n"
    "note. The three are empty (JSON null) when there is no clear line: the strongest bin less\n"
    "than 20 dB above the median bin, or the bins around it not shaped like one steady tone\n"
    "(silence, noise, chords, tones a few bins apart, a tone that changes within the block).\n"
    "With --live, start_s counts from the first block's start by the clock: blocks are 0.372 s\n"
    "of sound with a short gap between them. A lost input is said on standard error, and so is\n"
    "its return; rows go on by themselves.\n"
    "Exit status: 0 done, 1 unreadable input (with --out: any input failed) or no live input,\n"
    "2 bad options.\n"
    "\n"
    "Examples, live: a tuner, and a minute of rows logged to CSV as they come:\n"
    "  quorvane-analyse --live\n"
    "  quorvane-analyse --live --seconds 60 | tee log.csv\n";

struct Options {
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

// The whole number that is all of `text`, else a usage error: `wants`, not 'text'.
int ParseWholeNumber(const std::string& text, const std::string& wants) {
  std::size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) throw UsageError(wants + ", not '" + text + "'");
  return value;
}

int ParseRefLevel(const std::string& text) {
  const int value = ParseWholeNumber(text, "--ref-level wants a whole number of dB");
  if (value < -60 || value > 60) {
    throw UsageError("--ref-level " + text + " is outside -60..60");
  }
  return value;
}

double ParseA4(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 400 && value <= 480)) {
    throw UsageError("--a4 wants a frequency in 400..480 Hz, not '" + text + "'");
  }
  return value;
}

double ParseSeconds(const std::string& text, const std::string& option) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0) {
    throw UsageError(option + " wants a number of seconds above 0, not '" + text + "'");
  }
  return value;
}

unsigned ParseThreads(const std::string& text) {
  const std::string wants =
      "--threads wants a whole number from 1 to " + std::to_string(kMaxThreads);
  const int value = ParseWholeNumber(text, wants);
  if (value < 1 || value > kMaxThreads) throw UsageError(wants + ", not '" + text + "'");
  return static_cast<unsigned>(value);
}

// Returns nullopt after --help or --version.
std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string> file_only, live_only;  // options given, to check against the mode
  std::string spectrogram_setting;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) {
      if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
      return std::string(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return std::nullopt;
    } else if (arg == "--version") {
      std::printf("quorvane-analyse %s\n", kVersion);
      return std::nullopt;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--live") {
      options.live = true;
    } else if (arg == "--blocks") {
      const std::string wants = "--blocks wants a whole number of blocks above 0";
      const std::string text = value("--blocks");
      options.live_options.blocks = ParseWholeNumber(text, wants);
      if (*options.live_options.blocks < 1) throw UsageError(wants + ", not '" + text + "'");
      live_only.push_back(arg);
    } else if (arg == "--seconds") {
      options.live_options.seconds = ParseSeconds(value("--seconds"), arg);
      live_only.push_back(arg);
    } else if (arg == "--wait") {
      options.live_options.wait_seconds = ParseSeconds(value("--wait"), arg);
      live_only.push_back(arg);
    } else if (arg == "--ref-level") {
      options.ref_level = ParseRefLevel(value("--ref-level"));
      file_only.push_back(arg);
    } else if (arg == "--a4") {
      options.a4_hz = ParseA4(value("--a4"));
    } else if (arg == "--threads") {
      options.threads = ParseThreads(value("--threads"));
      file_only.push_back(arg);
    } else if (arg == "--png") {
      options.png = value("--png");
      file_only.push_back(arg);
    } else if (arg == "--frames") {
      options.frames_dir = value("--frames");
      file_only.push_back(arg);
    } else if (arg == "--out") {
      options.out_dir = value("--out");
      file_only.push_back(arg);
    } else if (arg == "--spectrogram") {
      options.spectrogram.path = value("--spectrogram");
      file_only.push_back(arg);
    } else if (arg == "--size" || arg == "--freq" || arg == "--db" || arg == "--freq-scale" ||
               arg == "--window") {
      const std::string wrong =
          ParseSpectrogramSetting(arg, value(arg.c_str()), options.spectrogram);
      if (!wrong.empty()) throw UsageError(wrong);
      spectrogram_setting = arg;
      file_only.push_back(arg);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option " + arg);
    } else {
      options.inputs.push_back(arg);
    }
  }
  if (options.live) {
    if (!options.inputs.empty()) {
      throw UsageError("--live records the sound input, not '" + options.inputs[0] + "'");
    }
    if (!file_only.empty()) throw UsageError(file_only[0] + " is for files, not --live");
    options.live_options.json = options.json;
    options.live_options.a4_hz = options.a4_hz;
    return options;
  }
  if (!live_only.empty()) throw UsageError(live_only[0] + " is for --live");
  if (options.inputs.empty()) throw UsageError("no input given");
  if (!options.out_dir && options.inputs.size() > 1) {
    throw UsageError("one input only, or --out DIR; got '" + options.inputs[0] + "' and '" +
                     options.inputs[1] + "'");
  }
  if (options.out_dir && (options.png || options.frames_dir)) {
    throw UsageError("--png and --frames show one input; they do not go with --out");
  }
  if (options.out_dir && std::ranges::find(options.inputs, "-") != options.inputs.end()) {
    throw UsageError("--out takes files; standard input goes without it");
  }
  if (!spectrogram_setting.empty() && options.spectrogram.path.empty()) {
    throw UsageError(spectrogram_setting + " is for --spectrogram FILE, which is not given");
  }
  if (const std::string wrong = FinishSpectrogramSettings(options.spectrogram); !wrong.empty())
    throw UsageError(wrong);
  return options;
}

// Where the procedures run: headless, or in a real (offscreen) window when pictures are
// wanted, so that the pictures are the window's own pixels.
class Session {
 public:
  // `with_toolkit`: no window, but text to draw.
  Session(bool with_window, bool with_toolkit, int& argc, char** argv) {
    if (with_window || with_toolkit) StartToolkit(with_window, argc, argv);
    if (!with_window) {
      headless_ = std::make_unique<HeadlessControls>();
      analyser_ = std::make_unique<Analyser>(headless_->Controls());
      return;
    }
    form_ = std::make_unique<Form1>([](const std::string& text) {
      std::fprintf(stderr, "quorvane-analyse: %s\n", text.c_str());
    });
  }

  void StartToolkit(bool with_window, int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Standard error carries this tool's own messages only, not the toolkit's notes about
    // its surroundings (a missing runtime folder and the like).
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "quorvane-analyse: %s\n", text.toLocal8Bit().constData());
      }
    });
    // Text on a picture needs fonts, not widgets: the lighter application starts sooner.
    if (with_window) {
      application_ = std::make_unique<QApplication>(argc, argv);
      SetApplicationTitle();
    } else {
      application_ = std::make_unique<QGuiApplication>(argc, argv);
    }
  }

  Analyser& analyser() { return form_ ? form_->analyser() : *analyser_; }

  BlockReadouts Readouts(std::int64_t block) const {
    BlockReadouts r =
        form_ ? ReadoutTexts(*form_->lblFreq, *form_->lblMax, *form_->lblMaxHold, *form_->Label4)
              : ReadoutTexts(headless_->lblFreq, headless_->lblMax, headless_->lblMaxHold,
                             headless_->Label4);
    r.block = block;
    r.start_seconds = static_cast<double>(block) * kBlockSamples / SoundInput::kRate;
    return r;
  }

  void SavePicture(const std::string& path) {
    if (form_ && !form_->grab().save(QString::fromStdString(path), "PNG")) {
      throw SoundInputError("cannot write the picture " + path);
    }
  }

 private:
  std::unique_ptr<QGuiApplication> application_;
  std::unique_ptr<Form1> form_;
  std::unique_ptr<HeadlessControls> headless_;
  std::unique_ptr<Analyser> analyser_;
};

// A progress line on a terminal, for inputs long enough to wait for.
class Progress {
 public:
  explicit Progress(std::int64_t expected_samples)
      : expected_blocks_(expected_samples / static_cast<std::int64_t>(kBlockSamples)),
        enabled_(isatty(STDERR_FILENO) &&
                 (expected_samples < 0 || expected_samples > 5 * SoundInput::kRate)) {}

  void Block(std::int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    if (expected_blocks_ > 0) {
      std::fprintf(stderr, "\r%lld of %lld blocks (%d%%)", static_cast<long long>(done),
                   static_cast<long long>(expected_blocks_),
                   static_cast<int>(100 * done / expected_blocks_));
    } else {
      std::fprintf(stderr, "\r%lld blocks", static_cast<long long>(done));
    }
    shown_ = true;
  }
  void Finish() const {
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  std::int64_t expected_blocks_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

std::string FramePath(const std::string& dir, std::int64_t block) {
  char name[32];
  std::snprintf(name, sizeof name, "block-%06lld.png", static_cast<long long>(block));
  return dir + "/" + name;
}

// The row of the readouts after `block`, as standard output or an --out file gets it.
std::string Row(const Options& options, const Session& session, std::int64_t block,
                std::optional<double> line_bins) {
  BlockReadouts readouts = session.Readouts(block);
  readouts.peak_hz_fine = LineHz(line_bins);
  readouts.a4_hz = options.a4_hz;
  return options.json ? JsonRow(readouts) : CsvRow(readouts);
}

// The spectrogram of one input, folded as its blocks are transformed; none without a path.
class SpectrogramOf {
 public:
  SpectrogramOf(const SpectrogramSettings& settings, const std::string& path, SoundInput& input,
                BlockCycle& cycle)
      : settings_(settings), path_(path) {
    if (path.empty()) return;
    // Before the analysis: an hour's work should not end in "cannot write".
    if (const std::string wrong = WritePicture(path); !wrong.empty()) throw SoundInputError(wrong);
    const std::int64_t expected = input.ExpectedSamples();
    columns_.emplace(settings.width, settings.height, settings.Axis(),
                     static_cast<double>(SoundInput::kRate) / kBlockSamples,
                     expected > 0 ? expected / static_cast<std::int64_t>(kBlockSamples) : 0);
    cycle.SetBlockLevelsSink([this](std::int64_t block, std::span<const double> levels,
                                    std::span<const std::int16_t> samples) {
      if (!settings_.hann) {
        columns_->Add(block, levels);
        return;
      }
      // The rows and the window keep the unwindowed levels; only the picture's are windowed.
      thread_local std::vector<double> windowed(levels.size());
      HannLevels(samples, windowed);
      columns_->Add(block, windowed);
    });
  }
  bool wanted() const { return columns_.has_value(); }

  // After the last block: the picture, with `input_name` in its title line.
  void Write(const std::string& input_name) const {
    if (!columns_) return;
    const std::vector<float> cells = columns_->Cells();
    const Span db = settings_.db ? *settings_.db : DefaultDbRange(cells);
    const QImage drawn =
        DrawSpectrogram(cells, settings_.width, settings_.height, settings_.Axis(), db,
                        CaptionFor(input_name, columns_->blocks(), kBlockSamples, settings_.width));
    if (const std::string wrong = WritePicture(path_, &drawn); !wrong.empty()) {
      throw SoundInputError(wrong);
    }
  }

 private:
  const SpectrogramSettings& settings_;
  std::string path_;
  std::optional<SpectrogramColumns> columns_;
};

int Analyse(const Options& options, int& argc, char** argv) {
  const std::string& path = options.inputs.front();
  std::unique_ptr<SoundInput> input =
      path == "-" ? SoundInput::OpenRaw(stdin, "standard input") : SoundInput::OpenFile(path);
  if (options.frames_dir && !QDir().mkpath(QString::fromStdString(*options.frames_dir))) {
    throw SoundInputError("cannot create the folder " + *options.frames_dir);
  }

  BlockCycle cycle(*input);
  const SpectrogramOf spectrogram(options.spectrogram, options.spectrogram.path, *input, cycle);
  Session session(options.png || options.frames_dir, spectrogram.wanted(), argc, argv);
  if (!options.json) std::puts(kCsvHeader);
  Progress progress(input->ExpectedSamples());
  const std::size_t left_over =
      cycle.Run(session.analyser(), options.ref_level, options.threads,
                [&](std::int64_t block, std::optional<double> line_bins) {
                  std::puts(Row(options, session, block, line_bins).c_str());
                  if (options.frames_dir)
                    session.SavePicture(FramePath(*options.frames_dir, block));
                  progress.Block(block + 1);
                });
  progress.Finish();
  if (left_over > 0) {
    std::fprintf(stderr,
                 "quorvane-analyse: the last %zu samples make no whole block and were not "
                 "analysed\n",
                 left_over);
  }
  if (options.png) session.SavePicture(*options.png);
  spectrogram.Write(path);
  std::fflush(stdout);
  return 0;
}

namespace fs = std::filesystem;

// One output name per input, in the order given: the input's name without its extension and
// then `extension`; a name already taken gets -2, -3, ... before the extension.
std::vector<std::string> OutputNames(const std::vector<std::string>& inputs,
                                     const std::string& extension) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const std::string& input : inputs) {
    const std::string stem = fs::path(input).stem().string();
    std::string name = stem + extension;
    for (int copy = 2; taken.contains(name); ++copy) {
      name = stem + "-" + std::to_string(copy) + extension;
    }
    taken.insert(name);
    names.push_back(name);
  }
  return names;
}

// The --out run's progress line on a terminal (files done, hours of sound done, time left) and
// its one-line summary at the end. Any thread reports to it.
class FolderProgress {
 public:
  FolderProgress(std::size_t files, std::int64_t expected_samples)
      : files_(files), expected_samples_(expected_samples), enabled_(isatty(STDERR_FILENO)) {}

  void Block() {
    done_samples_ += static_cast<std::int64_t>(kBlockSamples);
    if (!enabled_) return;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) return;  // another thread is showing it
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    Show();
  }

  void FileDone(const std::string& failure) {
    std::lock_guard lock(mutex_);
    ++files_done_;
    if (!failure.empty()) {
      ClearLine();
      std::fprintf(stderr, "quorvane-analyse: %s\n", failure.c_str());
      ++failed_;
    }
    if (enabled_) Show();
  }

  void Summary(const std::string& dir) {
    std::lock_guard lock(mutex_);
    ClearLine();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr,
                 "quorvane-analyse: %zu of %zu files written to %s, %zu failed; %s of sound in "
                 "%.1f s\n",
                 files_ - failed_, files_, dir.c_str(), failed_,
                 SoundDuration(done_samples_).c_str(), seconds);
  }

 private:
  // Hours, minutes and seconds, 1:02:03.
  static std::string Duration(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
  }
  static std::string SoundDuration(std::int64_t samples) {
    return Duration(samples / SoundInput::kRate);
  }

  void Show() {
    const std::int64_t done = done_samples_;
    std::fprintf(stderr, "\r\033[K%zu of %zu files, %s of %s of sound", files_done_, files_,
                 SoundDuration(done).c_str(), SoundDuration(expected_samples_).c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (seconds >= 1 && done > 0 && expected_samples_ > done) {
      const auto left = static_cast<long long>(
          seconds * static_cast<double>(expected_samples_ - done) / static_cast<double>(done));
      std::fprintf(stderr, ", %s left", Duration(left).c_str());
    }
    shown_ = true;
  }

  void ClearLine() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  const std::size_t files_;
  const std::int64_t expected_samples_;
  const bool enabled_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<std::int64_t> done_samples_ = 0;
  std::mutex mutex_;
  std::size_t files_done_ = 0;
  std::size_t failed_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// One input's rows into `path`, by way of a partial file that takes the name only when every
// row is written; an empty text when it worked, else what went wrong.
// With --spectrogram, its picture goes to `picture_path` the same way.
std::string AnalyseInto(const Options& options, const std::string& input_path, const fs::path& path,
                        const fs::path& picture_path, unsigned threads, bool beside_others,
                        FolderProgress& progress) {
  const fs::path partial = fs::path(path) += ".part";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(nullptr, std::fclose);
  try {
    std::unique_ptr<SoundInput> input = SoundInput::OpenFile(input_path);
    BlockCycle cycle(*input);
    const SpectrogramOf spectrogram(options.spectrogram, picture_path.string(), *input, cycle);
    out.reset(std::fopen(partial.c_str(), "wb"));
    if (!out) return "cannot write " + partial.string() + ": " + std::strerror(errno);
    int argc = 0;
    Session session(false, false, argc, nullptr);
    if (!options.json) std::fprintf(out.get(), "%s\n", kCsvHeader);
    cycle.Run(
        session.analyser(), options.ref_level, threads,
        [&](std::int64_t block, std::optional<double> line_bins) {
          std::fprintf(out.get(), "%s\n", Row(options, session, block, line_bins).c_str());
          progress.Block();
        },
        beside_others);
    spectrogram.Write(input_path);
  } catch (const SoundInputError& error) {
    out.reset();
    fs::remove(partial);
    return error.what();
  } catch (const RuntimeError& error) {
    out.reset();
    fs::remove(partial);
    return input_path + ": analysis stopped: " + error.what();
  }
  const bool written = std::ferror(out.get()) == 0 && std::fclose(out.release()) == 0;
  std::error_code error;
  if (written) fs::rename(partial, path, error);
  if (!written || error) {
    fs::remove(partial, error);
    return "cannot write " + path.string();
  }
  return {};
}

// --out: every input into its own file in the folder, as many inputs at a time as there are
// threads, each with its share of them.
int AnalyseToFolder(const Options& options) {
  const fs::path dir = *options.out_dir;
  std::error_code error;
  fs::create_directories(dir, error);
  if (!fs::is_directory(dir)) {
    std::fprintf(stderr, "quorvane-analyse: cannot create the folder %s\n", dir.c_str());
    return kExitInput;
  }
  const std::vector<std::string>& inputs = options.inputs;
  const std::vector<std::string> names = OutputNames(inputs, options.json ? ".json" : ".csv");
  // With --spectrogram DIR, a picture per input there, named as its rows are.
  const fs::path pictures_dir = options.spectrogram.path;
  std::vector<std::string> pictures(inputs.size());
  std::unique_ptr<Session> toolkit;
  if (!pictures_dir.empty()) {
    fs::create_directories(pictures_dir, error);
    if (!fs::is_directory(pictures_dir)) {
      std::fprintf(stderr, "quorvane-analyse: cannot create the folder %s\n", pictures_dir.c_str());
      return kExitInput;
    }
    pictures = OutputNames(inputs, ".png");
    for (std::string& picture : pictures) picture = (pictures_dir / picture).string();
    // The pictures' text needs the toolkit, started once, here, for every thread.
    static char name[] = "quorvane-analyse";
    static char* arguments[] = {name, nullptr};
    static int count = 1;
    toolkit = std::make_unique<Session>(false, true, count, arguments);
  }

  // The lengths, for the time left; only a terminal shows it.
  std::int64_t expected = 0;
  if (isatty(STDERR_FILENO)) {
    for (const std::string& input : inputs) {
      try {
        expected += std::max<std::int64_t>(SoundInput::OpenFile(input)->ExpectedSamples(), 0);
      } catch (const SoundInputError&) {
        // Reported when its turn comes.
      }
    }
  }
  FolderProgress progress(inputs.size(), expected);

  const unsigned at_once =
      static_cast<unsigned>(std::min<std::size_t>(options.threads, inputs.size()));
  const unsigned threads_each = std::max(1u, options.threads / at_once);
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> failed = false;
  {
    std::vector<std::jthread> runners;
    for (unsigned r = 0; r < at_once; ++r) {
      runners.emplace_back([&] {
        for (std::size_t i = next++; i < inputs.size(); i = next++) {
          const std::string failure = AnalyseInto(options, inputs[i], dir / names[i], pictures[i],
                                                  threads_each, at_once > 1, progress);
          if (!failure.empty()) failed = true;
          progress.FileDone(failure);
        }
      });
    }
  }
  progress.Summary(dir.string());
  return failed ? kExitInput : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "quorvane-analyse: %s\n%s", error.what(), kUsage);
    return kExitUsage;
  }
  if (!options) return 0;
  if (options->live) {
    try {
      return RunLive(options->live_options);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "quorvane-analyse: %s\n", error.what());
      return kExitInput;
    }
  }
  try {
    return options->out_dir ? AnalyseToFolder(*options) : Analyse(*options, argc, argv);
  } catch (const SoundInputError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvane-analyse: %s\n", error.what());
    return kExitInput;
  } catch (const RuntimeError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvane-analyse: analysis stopped: %s\n", error.what());
    return kExitInput;
  }
}
