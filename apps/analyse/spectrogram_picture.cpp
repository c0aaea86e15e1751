#include "apps/analyse/spectrogram_picture.h"

#include <sndfile.h>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QSaveFile>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "apps/analyse/sound_input.h"

namespace quorvane {

namespace {

// Room around the plot: the title above, the frequency axis left, the time axis below, the
// colour bar right.
constexpr int kLeft = 72, kTop = 40, kRight = 108, kBottom = 54;
constexpr int kTick = 5, kBarGap = 16, kBarWidth = 16;
// QImage maps quality 0..100 to zlib levels 9..0.
constexpr int kPngQuality = 80;
constexpr QRgb kInk = 0xff202020, kQuietInk = 0xff606060, kPaper = 0xffffffff;

const std::array<QRgb, 256> kInferno = {
    0xff000004, 0xff010005, 0xff010106, 0xff010108, 0xff02010a, 0xff02020c, 0xff02020e, 0xff030210,
    0xff040312, 0xff040314, 0xff050417, 0xff060419, 0xff07051b, 0xff08051d, 0xff09061f, 0xff0a0722,
    0xff0b0724, 0xff0c0826, 0xff0d0829, 0xff0e092b, 0xff10092d, 0xff110a30, 0xff120a32, 0xff140b34,
    0xff150b37, 0xff160b39, 0xff180c3c, 0xff190c3e, 0xff1b0c41, 0xff1c0c43, 0xff1e0c45, 0xff1f0c48,
    0xff210c4a, 0xff230c4c, 0xff240c4f, 0xff260c51, 0xff280b53, 0xff290b55, 0xff2b0b57, 0xff2d0b59,
    0xff2f0a5b, 0xff310a5c, 0xff320a5e, 0xff340a5f, 0xff360961, 0xff380962, 0xff390963, 0xff3b0964,
    0xff3d0965, 0xff3e0966, 0xff400a67, 0xff420a68, 0xff440a68, 0xff450a69, 0xff470b6a, 0xff490b6a,
    0xff4a0c6b, 0xff4c0c6b, 0xff4d0d6c, 0xff4f0d6c, 0xff510e6c, 0xff520e6d, 0xff540f6d, 0xff550f6d,
    0xff57106e, 0xff59106e, 0xff5a116e, 0xff5c126e, 0xff5d126e, 0xff5f136e, 0xff61136e, 0xff62146e,
    0xff64156e, 0xff65156e, 0xff67166e, 0xff69166e, 0xff6a176e, 0xff6c186e, 0xff6d186e, 0xff6f196e,
    0xff71196e, 0xff721a6e, 0xff741a6e, 0xff751b6e, 0xff771c6d, 0xff781c6d, 0xff7a1d6d, 0xff7c1d6d,
    0xff7d1e6d, 0xff7f1e6c, 0xff801f6c, 0xff82206c, 0xff84206b, 0xff85216b, 0xff87216b, 0xff88226a,
    0xff8a226a, 0xff8c2369, 0xff8d2369, 0xff8f2469, 0xff902568, 0xff922568, 0xff932667, 0xff952667,
    0xff972766, 0xff982766, 0xff9a2865, 0xff9b2964, 0xff9d2964, 0xff9f2a63, 0xffa02a63, 0xffa22b62,
    0xffa32c61, 0xffa52c60, 0xffa62d60, 0xffa82e5f, 0xffa92e5e, 0xffab2f5e, 0xffad305d, 0xffae305c,
    0xffb0315b, 0xffb1325a, 0xffb3325a, 0xffb43359, 0xffb63458, 0xffb73557, 0xffb93556, 0xffba3655,
    0xffbc3754, 0xffbd3853, 0xffbf3952, 0xffc03a51, 0xffc13a50, 0xffc33b4f, 0xffc43c4e, 0xffc63d4d,
    0xffc73e4c, 0xffc83f4b, 0xffca404a, 0xffcb4149, 0xffcc4248, 0xffce4347, 0xffcf4446, 0xffd04545,
    0xffd24644, 0xffd34743, 0xffd44842, 0xffd54a41, 0xffd74b3f, 0xffd84c3e, 0xffd94d3d, 0xffda4e3c,
    0xffdb503b, 0xffdd513a, 0xffde5238, 0xffdf5337, 0xffe05536, 0xffe15635, 0xffe25734, 0xffe35933,
    0xffe45a31, 0xffe55c30, 0xffe65d2f, 0xffe75e2e, 0xffe8602d, 0xffe9612b, 0xffea632a, 0xffeb6429,
    0xffeb6628, 0xffec6726, 0xffed6925, 0xffee6a24, 0xffef6c23, 0xffef6e21, 0xfff06f20, 0xfff1711f,
    0xfff1731d, 0xfff2741c, 0xfff3761b, 0xfff37819, 0xfff47918, 0xfff57b17, 0xfff57d15, 0xfff67e14,
    0xfff68013, 0xfff78212, 0xfff78410, 0xfff8850f, 0xfff8870e, 0xfff8890c, 0xfff98b0b, 0xfff98c0a,
    0xfff98e09, 0xfffa9008, 0xfffa9207, 0xfffa9407, 0xfffb9606, 0xfffb9706, 0xfffb9906, 0xfffb9b06,
    0xfffb9d07, 0xfffc9f07, 0xfffca108, 0xfffca309, 0xfffca50a, 0xfffca60c, 0xfffca80d, 0xfffcaa0f,
    0xfffcac11, 0xfffcae12, 0xfffcb014, 0xfffcb216, 0xfffcb418, 0xfffbb61a, 0xfffbb81d, 0xfffbba1f,
    0xfffbbc21, 0xfffbbe23, 0xfffac026, 0xfffac228, 0xfffac42a, 0xfffac62d, 0xfff9c72f, 0xfff9c932,
    0xfff9cb35, 0xfff8cd37, 0xfff8cf3a, 0xfff7d13d, 0xfff7d340, 0xfff6d543, 0xfff6d746, 0xfff5d949,
    0xfff5db4c, 0xfff4dd4f, 0xfff4df53, 0xfff4e156, 0xfff3e35a, 0xfff3e55d, 0xfff2e661, 0xfff2e865,
    0xfff2ea69, 0xfff1ec6d, 0xfff1ed71, 0xfff1ef75, 0xfff1f179, 0xfff2f27d, 0xfff2f482, 0xfff3f586,
    0xfff3f68a, 0xfff4f88e, 0xfff5f992, 0xfff6fa96, 0xfff8fb9a, 0xfff9fc9d, 0xfffafda1, 0xfffcffa4,
};

QFont TextFont(int pixels) {
  QFont font(QStringLiteral("Liberation Sans Narrow"));
  font.setPixelSize(pixels);
  return font;
}

// A tick's number with as many decimals as its step needs, and a real minus sign.
QString TickText(double value, double step) {
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  QString text = QString::number(value, 'f', decimals);
  if (text.toDouble() == 0) text = QString::number(0.0, 'f', decimals);
  return text.replace(QLatin1Char('-'), QChar(0x2212));
}

double Step(const std::vector<double>& ticks) {
  return ticks.size() > 1 ? ticks[1] - ticks[0] : 1;
}

std::string LengthText(double seconds) {
  char text[48];
  const auto whole = static_cast<long>(std::floor(seconds));
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld min", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld h", whole / 3600, whole / 60 % 60,
                  whole % 60);
  }
  return text;
}

// Text centred on (x, y), turned a quarter to read upwards when `upright`.
void CentredText(QPainter& painter, double x, double y, const QString& text, bool upright = false) {
  painter.save();
  painter.translate(x, y);
  if (upright) painter.rotate(-90);
  painter.drawText(QRectF(-500, -20, 1000, 40), Qt::AlignCenter, text);
  painter.restore();
}

// The palette: the colour map in kSteps steps, then kGreys greys from black to white.
constexpr int kSteps = 240, kGreys = 16;

QList<QRgb> Palette() {
  QList<QRgb> palette;
  for (int step = 0; step < kSteps; ++step)
    palette.push_back(kInferno[static_cast<std::size_t>((step * 255 + kSteps / 2) / (kSteps - 1))]);
  for (int grey = 0; grey < kGreys; ++grey) {
    const int level = grey * 255 / (kGreys - 1);
    palette.push_back(qRgb(level, level, level));
  }
  return palette;
}

// `paper` (text and lines in greys) with the cells in colour over `db` in `plot` and the
// colour scale in `bar`, as one palette image.
QImage InColour(const QImage& paper, std::span<const float> cells, const QRect& plot,
                const QRect& bar, Span db) {
  QImage picture(paper.size(), QImage::Format_Indexed8);
  picture.setColorTable(Palette());
  const float per_step = static_cast<float>((kSteps - 1) / (db.high - db.low));
  const auto low = static_cast<float>(db.low);
  for (int y = 0; y < paper.height(); ++y) {
    const auto* grey = reinterpret_cast<const QRgb*>(paper.constScanLine(y));
    uchar* line = picture.scanLine(y);
    for (int x = 0; x < paper.width(); ++x)
      line[x] = static_cast<uchar>(kSteps + (qGray(grey[x]) * (kGreys - 1) + 127) / 255);
    if (y < plot.top() || y > plot.bottom()) continue;
    const float* row = cells.data() + static_cast<std::size_t>(y - plot.top()) * plot.width();
    for (int x = 0; x < plot.width(); ++x) {
      // Below the range, and no sound at all (-infinity), take the bottom colour.
      line[plot.left() + x] = static_cast<uchar>(
          std::clamp((row[x] - low) * per_step + 0.5f, 0.0f, static_cast<float>(kSteps - 1)));
    }
    const auto bar_step = static_cast<uchar>(
        ((plot.bottom() - y) * (kSteps - 1) + std::max(plot.height() - 1, 1) / 2) /
        std::max(plot.height() - 1, 1));
    std::fill(line + bar.left(), line + bar.right() + 1, bar_step);
  }
  return picture;
}

}  // namespace

const std::array<QRgb, 256>& InfernoColours() {
  return kInferno;
}

SpectrogramCaption CaptionFor(const std::string& input, std::int64_t blocks,
                              std::size_t block_samples, int width) {
  const double block_seconds = static_cast<double>(block_samples) / SoundInput::kRate;
  SpectrogramCaption caption;
  caption.seconds = static_cast<double>(blocks) * block_seconds;
  double length = caption.seconds;
  int rate = SoundInput::kRate;
  std::string name = "standard input";
  if (input != "-") {
    name = QFileInfo(QString::fromStdString(input)).fileName().toStdString();
    SF_INFO info{};
    if (SNDFILE* file = sf_open(input.c_str(), SFM_READ, &info)) {
      sf_close(file);
      rate = info.samplerate;
      length = static_cast<double>(info.frames) / rate;
    }
  }
  caption.title = name + "   " + LengthText(length) + "   " + std::to_string(rate) + " Hz";
  char note[96];
  const double per_column = static_cast<double>(blocks) / width;
  if (per_column > 1) {
    std::snprintf(note, sizeof note,
                  "%lld blocks of %.2f s; a column shows the loudest of about %.0f",
                  static_cast<long long>(blocks), block_seconds, per_column);
  } else {
    std::snprintf(note, sizeof note, "%lld blocks of %.2f s", static_cast<long long>(blocks),
                  block_seconds);
  }
  caption.note = note;
  return caption;
}

QRect SpectrogramPlotRect(int width, int height) {
  return {kLeft, kTop, width, height};
}

QImage DrawSpectrogram(std::span<const float> cells, int width, int height, const FrequencyAxis& hz,
                       Span db, const SpectrogramCaption& caption) {
  const QRect area = SpectrogramPlotRect(width, height);
  const QRect bar_area(area.right() + 1 + kBarGap, area.top(), kBarWidth, height);
  // The picture is drawn in black and white first and then given its colours through a
  // palette: a PNG of one byte a pixel writes three times faster than one of three.
  QImage paper(kLeft + width + kRight, kTop + height + kBottom, QImage::Format_RGB32);
  paper.fill(kPaper);
  QPainter painter(&paper);
  painter.setPen(QColor(kInk));
  painter.drawRect(area.adjusted(-1, -1, 0, 0));
  painter.drawRect(bar_area.adjusted(-1, -1, 0, 0));
  painter.setRenderHint(QPainter::TextAntialiasing);

  // The title on the left above the plot, how blocks make columns on the right.
  const QFont title_font = TextFont(16);
  const QFont font = TextFont(13);
  const int text_height = QFontMetrics(font).height();
  const QRect title_line(area.left(), 8, area.width(), 24);
  const QString note = QFontMetrics(font).elidedText(QString::fromStdString(caption.note),
                                                     Qt::ElideRight, area.width() / 2);
  painter.setFont(title_font);
  painter.drawText(title_line, Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(title_font)
                       .elidedText(QString::fromStdString(caption.title), Qt::ElideMiddle,
                                   area.width() - QFontMetrics(font).horizontalAdvance(note) - 16));
  painter.setFont(font);
  painter.setPen(QColor(kQuietInk));
  painter.drawText(title_line, Qt::AlignRight | Qt::AlignVCenter, note);
  painter.setPen(QColor(kInk));

  // Frequency up the left side.
  const bool log = hz.scale == FrequencyScale::kLog;
  const std::vector<double> hz_ticks =
      log ? LogTicks(hz.low, hz.high, std::max(2, height / 50))
          : RoundTicks({hz.low, hz.high}, std::max(2, height / 50));
  for (double f : hz_ticks) {
    const double from_top =
        log ? (1 - hz.Fraction(f)) * height : (hz.high - f) / (hz.high - hz.low) * height;
    const int y = area.top() + std::clamp(static_cast<int>(std::lround(from_top)), 0, height) -
                  ((log ? f <= hz.low : f == hz.low) ? 1 : 0);
    painter.drawLine(area.left() - 1 - kTick, y, area.left() - 2, y);
    // A log axis's ticks each carry the decimals their own value needs (0.5, 2, 20).
    painter.drawText(QRect(0, y - text_height / 2, area.left() - kTick - 5, text_height),
                     Qt::AlignRight | Qt::AlignVCenter,
                     TickText(f, log ? std::min(f, 1.0) : Step(hz_ticks)));
  }
  CentredText(painter, 12, area.center().y(), QStringLiteral("Frequency (Hz)"), true);

  // Time across the bottom, in minutes once seconds grow to three figures.
  const bool minutes = caption.seconds >= 180;
  const double span = minutes ? caption.seconds / 60 : caption.seconds;
  const std::vector<double> time_ticks = RoundTicks({0, span}, std::max(2, width / 100));
  for (double t : time_ticks) {
    const int x =
        area.left() + static_cast<int>(std::lround(t / span * width)) - (t == span ? 1 : 0);
    painter.drawLine(x, area.bottom() + 2, x, area.bottom() + 1 + kTick);
    CentredText(painter, x, area.bottom() + 1 + kTick + 2 + text_height / 2.0,
                TickText(t, Step(time_ticks)));
  }
  CentredText(painter, area.center().x(), area.bottom() + 1 + kTick + 4 + 1.5 * text_height,
              minutes ? QStringLiteral("Time (min)") : QStringLiteral("Time (s)"));

  // The colour bar's dB on its right.
  const std::vector<double> db_ticks = RoundTicks(db, std::max(2, height / 50));
  for (double level : db_ticks) {
    const int y = area.top() +
                  static_cast<int>(std::lround((db.high - level) / (db.high - db.low) * height)) -
                  (level == db.low ? 1 : 0);
    painter.drawLine(bar_area.right() + 2, y, bar_area.right() + 1 + kTick, y);
    painter.drawText(QRect(bar_area.right() + kTick + 5, y - text_height / 2, 40, text_height),
                     Qt::AlignLeft | Qt::AlignVCenter, TickText(level, Step(db_ticks)));
  }
  CentredText(painter, paper.width() - 12, area.center().y(), QStringLiteral("Level (dB)"), true);
  painter.end();
  return InColour(paper, cells, area, bar_area, db);
}

std::string WritePicture(const std::string& path, const QImage* picture) {
  QSaveFile file(QString::fromStdString(path));
  const auto failed = [&] {
    return "cannot write the picture " + path + ": " + file.errorString().toStdString();
  };
  // Unbuffered: QSaveFile's commit() flushes a buffer without looking at the result, and
  // would rename a picture cut off by a full disk into place.
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return failed();
  if (!picture) {
    file.cancelWriting();
    return {};
  }
  // Light compression: the default level costs a long recording a tenth of its time.
  if (!picture->save(&file, "PNG", kPngQuality) || file.error() != QFileDevice::NoError ||
      !file.commit())
    return failed();
  return {};
}

}  // namespace quorvane
