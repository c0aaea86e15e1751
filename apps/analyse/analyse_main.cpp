// quorvane-analyse: what the analyser window shows for live sound, for a recording, block by
// block. See --help and quorvane-analyse(1).

#include <cstdio>
#include <exception>
#include <optional>

#include "apps/analyse/analyse_options.h"
#include "apps/analyse/folder_run.h"
#include "apps/analyse/live.h"
#include "apps/analyse/one_input_run.h"
#include "apps/analyse/sound_input.h"
#include "common/runtime_error.h"

using namespace quorvane;

int main(int argc, char** argv) {
  std::optional<AnalyseOptions> options;
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
    return options->out_dir ? AnalyseToFolder(*options) : AnalyseOneInput(*options, argc, argv);
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
