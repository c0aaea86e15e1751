#include <gtest/gtest.h>

#include "display/readouts.h"

namespace quorvane {
namespace {

// One sequence of figures as successive blocks deliver them: each is floored in place and
// carried into the max hold only when its number is strictly above the held one.
TEST(Readouts, FiguresFlooredAndTheMaxHoldOnlyRises) {
  struct Step {
    float figure;
    Integer hz;
    float floored;
    const char *signal, *peak, *hold;
  };
  const Step steps[] = {
      {0, 0, 0, "0 dB anl", "0 Hz", "0"},  // 0 is not above the cleared 0
      {-0.5f, 0, -1, "-1 dB anl", "0 Hz", "0"},
      {12.7f, 1033, 12, "12 dB anl", "1033 Hz", "12 dB anl"},
      {11.2f, 1033, 11, "11 dB anl", "1033 Hz", "12 dB anl"},
      {12.4f, 500, 12, "12 dB anl", "500 Hz", "12 dB anl"},
      {30.9f, 500, 30, "30 dB anl", "500 Hz", "30 dB anl"},
      {30, 500, 30, "30 dB anl", "500 Hz", "30 dB anl"},  // a redraw changes nothing
      {-12.3f, 3, -13, "-13 dB anl", "3 Hz", "30 dB anl"}};
  ReadoutCaptions captions{"Label1", kMaxHoldCleared, "Label1"};
  for (const Step& step : steps) {
    float figure = step.figure;
    UpdateReadouts(figure, step.hz, captions);
    EXPECT_EQ(figure, step.floored) << step.figure;
    EXPECT_EQ(captions.signal, step.signal);
    EXPECT_EQ(captions.peak, step.peak);
    EXPECT_EQ(captions.max_hold, step.hold) << step.figure;
  }
  captions.max_hold = "31";  // same number as the next figure, another text: no copy
  float figure = 31.5f;
  UpdateReadouts(figure, 0, captions);
  EXPECT_EQ(captions.max_hold, "31");
}

TEST(Readouts, ReferenceAndNoiseCaptions) {
  EXPECT_EQ(ReferenceCaption(30), "Ref: 30 dB");
  EXPECT_EQ(ReferenceCaption(-60), "Ref: -60 dB");
  EXPECT_EQ(NoiseCaption(-56.3f), "-57");
  EXPECT_EQ(NoiseCaption(-140), "-140");
  EXPECT_EQ(NoiseCaption(3.9f), "3");
}

}  // namespace
}  // namespace quorvane
