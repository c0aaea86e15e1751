#pragma once

#include "apps/analyse/analyse_options.h"

namespace quorvane {

// One input (a file, or "-" for standard input) to standard output, a row per block, with the
// window's pictures and the spectrogram the options ask for. Returns the exit status; a
// SoundInputError or RuntimeError when the input cannot be read or analysed.
int AnalyseOneInput(const AnalyseOptions& options, int& argc, char** argv);

}  // namespace quorvane
