#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dsp/note.h"

namespace quorvane {

// What the window shows after one block, as its labels' texts.
struct BlockReadouts {
  std::int64_t block = 0;
  double start_seconds = 0;
  std::string freq_text;               // lblFreq, "1033 Hz"
  std::string sig_max_text;            // lblMax, "-13 dB anl"
  std::string max_hold_text;           // lblMaxHold, "0" or a copy of an earlier lblMax
  std::string noise_text;              // Label4, "-57"
  std::optional<double> peak_hz_fine;  // the block's clear spectral line, if it has one
  double a4_hz = 440;                  // tuning of the notes named after peak_hz_fine
};

inline constexpr const char* kCsvHeader =
    "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db,peak_hz_fine,note,cents";

// One CSV row: the leading numbers of the four texts, then the fine peak, its note and cents
// (three empty fields without a clear line).
std::string CsvRow(const BlockReadouts& readouts);

// How a terminal shows the tuner line: UTF-8 dots and a block for the needle, or plain ASCII.
enum class Charset { kUtf8, kAscii };

// One line for a tuner on a terminal, with the row's own figures: the note, its cents, a
// needle, the fine frequency and the signal figure ("A4    +3.2 cents  |·····▮·····|
// 440.812 Hz  sig -42 dB"), or "no clear line" and the signal figure. The needle moves a cell
// per 10 cents, five each side of the bar that it covers within 5 cents of the note.
std::string TunerLine(const BlockReadouts& readouts, Charset charset);

// One JSON object on one line: the CSV fields (null for no clear line) plus the four texts
// verbatim.
std::string JsonRow(const BlockReadouts& readouts);

}  // namespace quorvane
