#include <gtest/gtest.h>

#include "display/readouts.h"

namespace quorvane {
namespace {

struct Readouts {
  ReadoutCaptions captions{"Label1", kMaxHoldCleared, "Label1"};
  float figure = 0;
  void Update(float new_figure, Integer hz = 0) {
    figure = new_figure;
    UpdateReadouts(figure, hz, captions);
  }
};

TEST(Readouts, BeforeAnyBlockShowZeroFigures) {
  Readouts r;
  r.Update(0);
  EXPECT_EQ(r.captions.signal, "0 dB anl");
  EXPECT_EQ(r.captions.peak, "0 Hz");
  EXPECT_EQ(r.captions.max_hold, "0");  // 0 is not above the held 0
}

TEST(Readouts, FigureIsFlooredInPlace) {
  Readouts r;
  r.Update(12.7f, 1033);
  EXPECT_EQ(r.figure, 12);
  EXPECT_EQ(r.captions.signal, "12 dB anl");
  EXPECT_EQ(r.captions.peak, "1033 Hz");
  r.Update(-12.3f);
  EXPECT_EQ(r.figure, -13);
  EXPECT_EQ(r.captions.signal, "-13 dB anl");
}

TEST(Readouts, MaxHoldOnlyRises) {
  Readouts r;
  r.Update(12.7f);
  EXPECT_EQ(r.captions.max_hold, "12 dB anl");
  r.Update(11.2f);
  EXPECT_EQ(r.captions.signal, "11 dB anl");
  EXPECT_EQ(r.captions.max_hold, "12 dB anl");
  r.Update(30.9f);
  EXPECT_EQ(r.captions.max_hold, "30 dB anl");
}

TEST(Readouts, NegativeFiguresNeverReplaceAClearedHold) {
  Readouts r;
  r.Update(-0.5f);
  EXPECT_EQ(r.captions.signal, "-1 dB anl");
  EXPECT_EQ(r.captions.max_hold, "0");
}

TEST(Readouts, EqualFiguresDoNotCopy) {
  Readouts r;
  r.captions.max_hold = "12";  // same number, different text: a copy would show
  r.Update(12.4f);
  EXPECT_EQ(r.captions.max_hold, "12");
}

TEST(Readouts, RedrawWithoutNewAnalysisChangesNothing) {
  Readouts r;
  r.Update(12.7f, 500);
  const ReadoutCaptions before = r.captions;
  UpdateReadouts(r.figure, 500, r.captions);
  EXPECT_EQ(r.figure, 12);
  EXPECT_EQ(r.captions.signal, before.signal);
  EXPECT_EQ(r.captions.max_hold, before.max_hold);
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
