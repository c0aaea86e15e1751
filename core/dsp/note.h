#pragma once

#include <string>

namespace quorvane {

// The nearest equal-tempered note to `hz` with sharps and octave ("A4", "C#5") and the offset
// from it in cents; `a4_hz` tunes the scale. quorvane-analyse names its lines with it, the
// window the frequency under the pointer.
struct Note {
  std::string name;
  double cents = 0;
};
Note NearestNote(double hz, double a4_hz);

}  // namespace quorvane
