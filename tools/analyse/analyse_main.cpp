// quorvane-analyse: what the analyser window shows for live sound, for a recording, block by
// block. See --help and quorvane-analyse(1).

#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/analyser.h"
#include "app/form1.h"
#include "capture/wave_drivers.h"
#include "common/identity.h"
#include "common/runtime_error.h"
#include "tools/analyse/block_cycle.h"
#include "tools/analyse/block_report.h"
#include "tools/analyse/sound_input.h"
#include "tools/analyse/spectrogram.h"
#include "tools/analyse/spectrogram_picture.h"

namespace {

using namespace quorvane;

constexpr int kExitInput = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxThreads = 256;

const char* const kUsage =
    "usage: quorvane-analyse [--json] [--ref-level N] [--a4 HZ] [--png FILE] [--frames DIR]\n"
    "                        [--threads N] [--spectrogram FILE [--size WxH] [--freq LO-HI]\n"
    "                        [--db LO-HI]] FILE|-\n"
    "       quorvane-analyse --help | --version\n";

const char* const kHelp =
    "Analyses a recording the way the Quorvane Spectrum window analyses live sound: blocks of\n"
    "8192 samples at 22050/s, back to back, each giving the readouts the window shows.\n"
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
    "                  loudest block and bin where several share a pixel\n"
    "  --size WxH      the spectrogram's plot in pixels, 8..4096 each (default 1200x600)\n"
    "  --freq LO-HI    its frequency axis in Hz (default 0-11025; 270-2700 is the window's)\n"
    "  --db LO-HI      its colour range in dB (default: the recording's noise floor to its\n"
    "                  loudest level, on 10 dB steps)\n"
    "  --threads N     transform blocks on N threads (default: one per core); the output is\n"
    "                  the same whatever N\n"
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
    "Exit status: 0 done, 1 unreadable input, 2 bad options.\n";

struct Options {
  std::string input;
  bool json = false;
  int ref_level = 30;
  double a4_hz = 440;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::optional<std::string> png;
  std::optional<std::string> frames_dir;
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
  bool have_input = false;
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
    } else if (arg == "--ref-level") {
      options.ref_level = ParseRefLevel(value("--ref-level"));
    } else if (arg == "--a4") {
      options.a4_hz = ParseA4(value("--a4"));
    } else if (arg == "--threads") {
      options.threads = ParseThreads(value("--threads"));
    } else if (arg == "--png") {
      options.png = value("--png");
    } else if (arg == "--frames") {
      options.frames_dir = value("--frames");
    } else if (arg == "--spectrogram") {
      options.spectrogram.path = value("--spectrogram");
    } else if (arg == "--size" || arg == "--freq" || arg == "--db") {
      const std::string wrong =
          ParseSpectrogramSetting(arg, value(arg.c_str()), options.spectrogram);
      if (!wrong.empty()) throw UsageError(wrong);
      spectrogram_setting = arg;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option " + arg);
    } else if (have_input) {
      throw UsageError("one input only; got '" + options.input + "' and '" + arg + "'");
    } else {
      options.input = arg;
      have_input = true;
    }
  }
  if (!have_input) throw UsageError("no input given");
  if (!spectrogram_setting.empty() && options.spectrogram.path.empty())
    throw UsageError(spectrogram_setting + " is for --spectrogram FILE, which is not given");
  return options;
}

// Where the procedures run: headless, or in a real (offscreen) window when pictures are
// wanted, so that the pictures are the window's own pixels.
class Session {
 public:
  // `with_toolkit`: no window, but text to draw.
  Session(bool with_window, bool with_toolkit, int& argc, char** argv) {
    if (with_window || with_toolkit) StartToolkit(argc, argv);
    if (!with_window) {
      headless_ = std::make_unique<HeadlessControls>();
      analyser_ = std::make_unique<Analyser>(headless_->Controls());
      return;
    }
    form_ = std::make_unique<Form1>([](const std::string& text) {
      std::fprintf(stderr, "quorvane-analyse: %s\n", text.c_str());
    });
  }

  void StartToolkit(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Standard error carries this tool's own messages only, not the toolkit's notes about
    // its surroundings (a missing runtime folder and the like).
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "quorvane-analyse: %s\n", text.toLocal8Bit().constData());
      }
    });
    application_ = std::make_unique<QApplication>(argc, argv);
    SetApplicationTitle();
  }

  Analyser& analyser() { return form_ ? form_->analyser() : *analyser_; }

  BlockReadouts Readouts(std::int64_t block) const {
    BlockReadouts r;
    r.block = block;
    r.start_seconds = static_cast<double>(block) * kBlockSamples / SoundInput::kRate;
    const CaptionControl& freq =
        form_ ? static_cast<const CaptionControl&>(*form_->lblFreq) : headless_->lblFreq;
    const CaptionControl& max =
        form_ ? static_cast<const CaptionControl&>(*form_->lblMax) : headless_->lblMax;
    const CaptionControl& hold =
        form_ ? static_cast<const CaptionControl&>(*form_->lblMaxHold) : headless_->lblMaxHold;
    const CaptionControl& noise =
        form_ ? static_cast<const CaptionControl&>(*form_->Label4) : headless_->Label4;
    r.freq_text = freq.Caption();
    r.sig_max_text = max.Caption();
    r.max_hold_text = hold.Caption();
    r.noise_text = noise.Caption();
    return r;
  }

  void SavePicture(const std::string& path) {
    if (form_ && !form_->grab().save(QString::fromStdString(path), "PNG")) {
      throw SoundInputError("cannot write the picture " + path);
    }
  }

 private:
  std::unique_ptr<QApplication> application_;
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
  void Finish() {
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

int Analyse(const Options& options, int& argc, char** argv) {
  std::unique_ptr<SoundInput> input = options.input == "-"
                                          ? SoundInput::OpenRaw(stdin, "standard input")
                                          : SoundInput::OpenFile(options.input);
  if (options.frames_dir && !QDir().mkpath(QString::fromStdString(*options.frames_dir))) {
    throw SoundInputError("cannot create the folder " + *options.frames_dir);
  }

  BlockCycle cycle(*input);
  const SpectrogramSettings& picture = options.spectrogram;
  std::optional<SpectrogramColumns> columns;
  if (!picture.path.empty()) {
    // Before the analysis: an hour's work should not end in "cannot write".
    if (const std::string wrong = WritePicture(picture.path); !wrong.empty())
      throw SoundInputError(wrong);
    const std::int64_t expected = input->ExpectedSamples();
    columns.emplace(picture.width, picture.height, picture.hz,
                    static_cast<double>(SoundInput::kRate) / kBlockSamples,
                    expected > 0 ? expected / static_cast<std::int64_t>(kBlockSamples) : 0);
    cycle.SetBlockLevelsSink([&columns](std::int64_t block, std::span<const double> levels) {
      columns->Add(block, levels);
    });
  }
  Session session(options.png || options.frames_dir, columns.has_value(), argc, argv);
  if (!options.json) std::puts(kCsvHeader);
  Progress progress(input->ExpectedSamples());
  const std::size_t left_over =
      cycle.Run(session.analyser(), options.ref_level, options.threads,
                [&](std::int64_t block, std::optional<double> line_bins) {
                  BlockReadouts readouts = session.Readouts(block);
                  if (line_bins)
                    readouts.peak_hz_fine = *line_bins * SoundInput::kRate / kBlockSamples;
                  readouts.a4_hz = options.a4_hz;
                  std::puts((options.json ? JsonRow(readouts) : CsvRow(readouts)).c_str());
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
  if (columns) {
    const std::vector<float> cells = columns->Cells();
    const Span db = picture.db ? *picture.db : DefaultDbRange(cells);
    const QImage drawn =
        DrawSpectrogram(cells, picture.width, picture.height, picture.hz, db,
                        CaptionFor(options.input, columns->blocks(), kBlockSamples, picture.width));
    if (const std::string wrong = WritePicture(picture.path, &drawn); !wrong.empty())
      throw SoundInputError(wrong);
  }
  std::fflush(stdout);
  return 0;
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
  try {
    return Analyse(*options, argc, argv);
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
