#include "tools/analyse/block_report.h"

#include <cstdio>

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

}  // namespace

std::string CsvRow(const BlockReadouts& r) {
  return std::to_string(r.block) + ',' + Seconds(r.start_seconds) + ',' + Number(Val(r.freq_text)) +
         ',' + Number(Val(r.sig_max_text)) + ',' + Number(Val(r.max_hold_text)) + ',' +
         Number(Val(r.noise_text));
}

std::string JsonRow(const BlockReadouts& r) {
  return "{\"block\":" + std::to_string(r.block) + ",\"start_s\":" + Seconds(r.start_seconds) +
         ",\"peak_hz\":" + Number(Val(r.freq_text)) +
         ",\"sig_max_db\":" + Number(Val(r.sig_max_text)) +
         ",\"max_hold_db\":" + Number(Val(r.max_hold_text)) +
         ",\"noise_db\":" + Number(Val(r.noise_text)) +
         ",\"freq_text\":" + JsonString(r.freq_text) +
         ",\"sig_max_text\":" + JsonString(r.sig_max_text) +
         ",\"max_hold_text\":" + JsonString(r.max_hold_text) +
         ",\"noise_text\":" + JsonString(r.noise_text) + "}";
}

}  // namespace quorvane
