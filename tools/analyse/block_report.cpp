#include "tools/analyse/block_report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/text.h"

namespace quorvane {

namespace {

std::string Number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  return buffer;
}

std::string Seconds(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6f", value);
  return buffer;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + '"';
}

std::string Fixed(double value, int decimals) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  // A value that rounds to zero reads 0, whichever side it came from.
  if (buffer[0] == '-' && std::strtod(buffer, nullptr) == 0) return buffer + 1;
  return buffer;
}

struct FineFields {
  std::string hz, note, cents;
};

FineFields Fine(const BlockReadouts& r) {
  if (!r.peak_hz_fine) return {};
  const Note note = NearestNote(*r.peak_hz_fine, r.a4_hz);
  return {Fixed(*r.peak_hz_fine, 3), note.name, Fixed(note.cents, 1)};
}

}  // namespace

Note NearestNote(double hz, double a4_hz) {
  static const char* const kNames[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                       "F#", "G",  "G#", "A",  "A#", "B"};
  const double semitones = 12 * std::log2(hz / a4_hz);
  const double nearest = std::round(semitones);
  // Note numbers as MIDI counts them: A4 is 69, C4 is 60.
  const long number = std::lround(nearest) + 69;
  const long octave = (number >= 0 ? number / 12 : (number - 11) / 12) - 1;
  return {kNames[number - (octave + 1) * 12] + std::to_string(octave), 100 * (semitones - nearest)};
}

std::string CsvRow(const BlockReadouts& r) {
  const FineFields fine = Fine(r);
  return std::to_string(r.block) + ',' + Seconds(r.start_seconds) + ',' + Number(Val(r.freq_text)) +
         ',' + Number(Val(r.sig_max_text)) + ',' + Number(Val(r.max_hold_text)) + ',' +
         Number(Val(r.noise_text)) + ',' + fine.hz + ',' + fine.note + ',' + fine.cents;
}

std::string JsonRow(const BlockReadouts& r) {
  const FineFields fine = Fine(r);
  return "{\"block\":" + std::to_string(r.block) + ",\"start_s\":" + Seconds(r.start_seconds) +
         ",\"peak_hz\":" + Number(Val(r.freq_text)) +
         ",\"sig_max_db\":" + Number(Val(r.sig_max_text)) +
         ",\"max_hold_db\":" + Number(Val(r.max_hold_text)) +
         ",\"noise_db\":" + Number(Val(r.noise_text)) +
         ",\"peak_hz_fine\":" + (fine.hz.empty() ? "null" : fine.hz) +
         ",\"note\":" + (fine.note.empty() ? "null" : JsonString(fine.note)) +
         ",\"cents\":" + (fine.cents.empty() ? "null" : fine.cents) +
         ",\"freq_text\":" + JsonString(r.freq_text) +
         ",\"sig_max_text\":" + JsonString(r.sig_max_text) +
         ",\"max_hold_text\":" + JsonString(r.max_hold_text) +
         ",\"noise_text\":" + JsonString(r.noise_text) + "}";
}

}  // namespace quorvane
