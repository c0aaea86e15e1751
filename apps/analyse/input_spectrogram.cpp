#include "apps/analyse/input_spectrogram.h"

#include <QImage>
#include <span>
#include <vector>

#include "apps/analyse/spectrogram_picture.h"

namespace quorvane {

InputSpectrogram::InputSpectrogram(const SpectrogramSettings& settings, const std::string& path,
                                   SoundInput& input, BlockCycle& cycle)
    : settings_(settings), path_(path) {
  if (path.empty()) return;
  // Before the analysis: an hour's work should not end in "cannot write".
  if (const std::string wrong = WritePicture(path); !wrong.empty()) throw SoundInputError(wrong);
  const std::int64_t expected = input.ExpectedSamples();
  columns_.emplace(settings.width, settings.height, settings.Axis(),
                   static_cast<double>(SoundInput::kRate) / kBlockSamples,
                   expected > 0 ? expected / static_cast<std::int64_t>(kBlockSamples) : 0);
  cycle.SetBlockLevelsSink([this](std::int64_t block, std::span<const double> levels,
                                  std::span<const std::int16_t> samples) {
    if (!settings_.hann) {
      columns_->Add(block, levels);
      return;
    }
    // The rows and the window keep the unwindowed levels; only the picture's are windowed.
    thread_local std::vector<double> windowed(levels.size());
    HannLevels(samples, windowed);
    columns_->Add(block, windowed);
  });
}

void InputSpectrogram::Write(const std::string& input_name) const {
  if (!columns_) return;
  const std::vector<float> cells = columns_->Cells();
  const Span db = settings_.db ? *settings_.db : DefaultDbRange(cells);
  const QImage drawn =
      DrawSpectrogram(cells, settings_.width, settings_.height, settings_.Axis(), db,
                      CaptionFor(input_name, columns_->blocks(), kBlockSamples, settings_.width));
  if (const std::string wrong = WritePicture(path_, &drawn); !wrong.empty()) {
    throw SoundInputError(wrong);
  }
}

}  // namespace quorvane
