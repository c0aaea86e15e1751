#include "apps/analyse/analyse_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "common/identity.h"

namespace quorvane {

namespace {

constexpr int kMaxThreads = 256;

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

}  // namespace

const char* const kUsage =
    "usage: quorvane-analyse [--json] [--ref-level N] [--a4 HZ] [--png FILE] [--frames DIR]\n"
    "                        [--threads N] [--spectrogram FILE [--size WxH] [--freq LO-HI]\n"
    "                        [--db LO-HI] [--freq-scale linear|log] [--window none|hann]]\n"
    "                        FILE|-\n"
    "       quorvane-analyse [--json] [--ref-level N] [--a4 HZ] [--threads N]\n"
    "                        [--spectrogram PICTURE_DIR [--size WxH] ...] --out DIR FILE...\n"
    "       quorvane-analyse --live [--json] [--a4 HZ] [--blocks N] [--seconds S] [--wait S]\n"
    "       quorvane-analyse --help | --version\n";

std::optional<AnalyseOptions> ParseOptions(int argc, char** argv) {
  AnalyseOptions options;
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

}  // namespace quorvane
