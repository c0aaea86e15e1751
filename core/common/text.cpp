#include "common/text.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace quorvane {

double Val(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;

  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t number_begin = pos;
  bool any_digit = false;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    ++pos;
    any_digit = true;
  }
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
      ++pos;
      any_digit = true;
    }
  }
  if (!any_digit) return 0.0;

  // from_chars is locale-independent and correctly rounded; it wants at least one digit
  // before a point, so ".5" is read as "0.5".
  std::string digits(text.substr(number_begin, pos - number_begin));
  if (digits.front() == '.') digits.insert(digits.begin(), '0');
  double value = 0.0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return negative ? -value : value;
}

std::string NumberText(float value) {
  if (value == 0.0f) return "0";  // also for -0: a label never shows "-0"
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 7);
  std::string text(buffer, result.ptr);
  for (char& c : text) {
    if (c == 'e') c = 'E';
  }
  return text;
}

}  // namespace quorvane
