#include "apps/analyse/block_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "common/text.h"

namespace quorvane {

namespace {

// As printf writes it in the C locale, whatever locale the toolkit has set for the process
// (Qt sets the user's, which may write decimal commas).
std::string Printed(double value, std::chars_format format, int precision) {
  char buffer[400];  // the longest double in fixed notation
  return {buffer, std::to_chars(buffer, buffer + sizeof buffer, value, format, precision).ptr};
}

std::string Number(double value) {
  return Printed(value, std::chars_format::general, 15);
}

std::string Seconds(double value) {
  return Printed(value, std::chars_format::fixed, 6);
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
  std::string text = Printed(value, std::chars_format::fixed, decimals);
  // A value that rounds to zero reads 0, whichever side it came from.
  if (text.starts_with('-') && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
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

std::string TunerLine(const BlockReadouts& r, Charset charset) {
  const bool utf8 = charset == Charset::kUtf8;
  const std::string sig = "  sig " + Number(Val(r.sig_max_text)) + " dB";
  constexpr int kWidth = 45;  // of the note, cents, needle and frequency
  char text[128];
  if (!r.peak_hz_fine) {
    std::snprintf(text, sizeof text, "%-*s%s", kWidth, "no clear line", sig.c_str());
    return text;
  }
  const FineFields fine = Fine(r);
  const double cents = NearestNote(*r.peak_hz_fine, r.a4_hz).cents;
  const long cell = std::clamp(std::lround(cents / 10), -5L, 5L);
  std::string needle = "|";
  for (long at = -5; at <= 5; ++at) {
    if (at == cell) {
      needle += utf8 ? "\u25ae" : "#";
    } else {
      needle += at == 0 ? "|" : utf8 ? "\u00b7" : ".";
    }
  }
  needle += '|';
  const std::string signed_cents = (cents > 0 && fine.cents != "0.0" ? "+" : "") + fine.cents;
  std::snprintf(text, sizeof text, "%-4s %5s cents  %s  %9s Hz%s", fine.note.c_str(),
                signed_cents.c_str(), needle.c_str(), fine.hz.c_str(), sig.c_str());
  return text;
}

}  // namespace quorvane
