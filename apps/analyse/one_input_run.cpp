#include "apps/analyse/one_input_run.h"

#include <QDir>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "apps/analyse/analyser_host.h"
#include "apps/analyse/block_cycle.h"
#include "apps/analyse/input_spectrogram.h"
#include "apps/analyse/progress_lines.h"
#include "apps/analyse/sound_input.h"

namespace quorvane {

namespace {

std::string FramePath(const std::string& dir, std::int64_t block) {
  char name[32];
  std::snprintf(name, sizeof name, "block-%06lld.png", static_cast<long long>(block));
  return dir + "/" + name;
}

}  // namespace

int AnalyseOneInput(const AnalyseOptions& options, int& argc, char** argv) {
  const std::string& path = options.inputs.front();
  std::unique_ptr<SoundInput> input =
      path == "-" ? SoundInput::OpenRaw(stdin, "standard input") : SoundInput::OpenFile(path);
  if (options.frames_dir && !QDir().mkpath(QString::fromStdString(*options.frames_dir))) {
    throw SoundInputError("cannot create the folder " + *options.frames_dir);
  }

  BlockCycle cycle(*input);
  const InputSpectrogram spectrogram(options.spectrogram, options.spectrogram.path, *input, cycle);
  AnalyserHost host(options.png || options.frames_dir, spectrogram.wanted(), argc, argv);
  if (!options.json) std::puts(kCsvHeader);
  BlockProgressLine progress(input->ExpectedSamples());
  const std::size_t left_over =
      cycle.Run(host.analyser(), options.ref_level, options.threads,
                [&](std::int64_t block, std::optional<double> line_bins) {
                  std::puts(host.RowAfter(block, line_bins, options.a4_hz, options.json).c_str());
                  if (options.frames_dir) host.SavePicture(FramePath(*options.frames_dir, block));
                  progress.Block(block + 1);
                });
  progress.Finish();
  if (left_over > 0) {
    std::fprintf(stderr,
                 "quorvane-analyse: the last %zu samples make no whole block and were not "
                 "analysed\n",
                 left_over);
  }
  if (options.png) host.SavePicture(*options.png);
  spectrogram.Write(path);
  std::fflush(stdout);
  return 0;
}

}  // namespace quorvane
