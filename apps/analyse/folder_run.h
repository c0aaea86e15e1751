#pragma once

#include <string>
#include <vector>

#include "apps/analyse/analyse_options.h"

namespace quorvane {

// One output name per input, in the order given: the input's name without its extension and
// then `extension`; a name already taken gets -2, -3, ... before the extension.
std::vector<std::string> OutputNames(const std::vector<std::string>& inputs,
                                     const std::string& extension);

// --out: every input into its own file in the folder, as many inputs at a time as there are
// threads, each with its share of them.
// Returns the exit status: 0, or 1 when the folder cannot be made or any input failed.
int AnalyseToFolder(const AnalyseOptions& options);

}  // namespace quorvane
