#pragma once

#include "common/runtime_error.h"

namespace quorvane {

// Runs one event handler's work; a run-time error ends it there, silently.
template <typename Work>
void RunHandler(Work&& work) {
  try {
    work();
  } catch (const RuntimeError&) {
  }
}

}  // namespace quorvane
