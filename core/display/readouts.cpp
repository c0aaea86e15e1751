#include "display/readouts.h"

#include "common/text.h"

namespace quorvane {

void UpdateReadouts(float& signal_figure, Integer peak_hz, ReadoutCaptions& captions) {
  signal_figure = static_cast<float>(Int(signal_figure));
  captions.signal = NumberText(signal_figure) + kSignalSuffix;
  // The held figure lives only in its caption; comparing the leading numbers of the two
  // texts is what lets a cleared "0" be beaten by any positive figure.
  if (Val(captions.signal) > Val(captions.max_hold)) captions.max_hold = captions.signal;
  captions.peak = NumberText(peak_hz) + " Hz";
}

std::string ReferenceCaption(float ref_level) {
  return "Ref: " + NumberText(ref_level) + " dB";
}

std::string NoiseCaption(float noise) {
  return NumberText(static_cast<float>(Int(noise)));
}

}  // namespace quorvane
