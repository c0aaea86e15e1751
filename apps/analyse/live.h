#pragma once

#include <optional>

namespace quorvane {

struct LiveOptions {
  bool json = false;
  double a4_hz = 440;
  std::optional<int> blocks;      // stop after this many blocks
  std::optional<double> seconds;  // stop this long after the first block's start
  double wait_seconds = 10;       // give up when no block has arrived this long after start
};

// Records from the first sound input through the window's own procedures, one block at a time
// with the restart between blocks, and writes each block's row to standard output as soon as
// it is analysed; on a terminal, without JSON, a tuner line rewritten in place instead.
// SIGINT and SIGTERM end it between blocks. Outages and their end are said on standard
// error. Returns the exit status: 0, or 1 when no block arrived in time (the reason on
// standard error).
int RunLive(const LiveOptions& options);

}  // namespace quorvane
