#include "dsp/note.h"

#include <cmath>

namespace quorvane {

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

}  // namespace quorvane
