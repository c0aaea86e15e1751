#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// The leading number of a text: optional leading blanks, an optional sign, digits with an
// optional decimal point (always a point, whatever the locale). Whatever follows is ignored;
// 0 when the text does not start with a number. "-13 dB anl" -> -13, "Label1" -> 0.
double Val(std::string_view text);

// The shortest text of a Single with up to seven significant digits and no leading space:
// 30 -> "30", -13 -> "-13", 0.5 -> "0.5", 20.19 -> "20.19". Exponent form is "1E+07".
std::string NumberText(float value);

}  // namespace quorvane
