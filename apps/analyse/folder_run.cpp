#include "apps/analyse/folder_run.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "apps/analyse/analyser_host.h"
#include "apps/analyse/block_cycle.h"
#include "apps/analyse/input_spectrogram.h"
#include "apps/analyse/progress_lines.h"
#include "apps/analyse/sound_input.h"
#include "common/runtime_error.h"

namespace quorvane {

namespace fs = std::filesystem;

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

namespace {

// One input's rows into `path`, by way of a partial file that takes the name only when every
// row is written; an empty text when it worked, else what went wrong.
// With --spectrogram, its picture goes to `picture_path` the same way.
std::string AnalyseInto(const AnalyseOptions& options, const std::string& input_path,
                        const fs::path& path, const fs::path& picture_path, unsigned threads,
                        bool beside_others, FolderProgressLine& progress) {
  const fs::path partial = fs::path(path) += ".part";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(nullptr, std::fclose);
  try {
    std::unique_ptr<SoundInput> input = SoundInput::OpenFile(input_path);
    BlockCycle cycle(*input);
    const InputSpectrogram spectrogram(options.spectrogram, picture_path.string(), *input, cycle);
    out.reset(std::fopen(partial.c_str(), "wb"));
    if (!out) return "cannot write " + partial.string() + ": " + std::strerror(errno);
    int argc = 0;
    AnalyserHost host(false, false, argc, nullptr);
    if (!options.json) std::fprintf(out.get(), "%s\n", kCsvHeader);
    cycle.Run(
        host.analyser(), options.ref_level, threads,
        [&](std::int64_t block, std::optional<double> line_bins) {
          std::fprintf(out.get(), "%s\n",
                       host.RowAfter(block, line_bins, options.a4_hz, options.json).c_str());
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

}  // namespace

int AnalyseToFolder(const AnalyseOptions& options) {
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
  std::unique_ptr<AnalyserHost> toolkit;
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
    toolkit = std::make_unique<AnalyserHost>(false, true, count, arguments);
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
  FolderProgressLine progress(inputs.size(), expected);

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

}  // namespace quorvane
