#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

// What the window shows after one block, as its labels' texts.
struct BlockReadouts {
  std::int64_t block = 0;
  double start_seconds = 0;
  std::string freq_text;      // lblFreq, "1033 Hz"
  std::string sig_max_text;   // lblMax, "-13 dB anl"
  std::string max_hold_text;  // lblMaxHold, "0" or a copy of an earlier lblMax
  std::string noise_text;     // Label4, "-57"
};

inline constexpr const char* kCsvHeader = "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db";

// One CSV row: the leading numbers of the four texts.
std::string CsvRow(const BlockReadouts& readouts);

// One JSON object on one line: the CSV fields plus the four texts verbatim.
std::string JsonRow(const BlockReadouts& readouts);

}  // namespace quorvane
