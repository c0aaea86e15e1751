#include "apps/analyse/sound_input.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string_view>

namespace quorvane {

std::int16_t ToSample16(double fraction) {
  const double scaled = std::nearbyint(fraction * 32768.0);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

namespace {

constexpr sf_count_t kChunkFrames = 8192;

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
struct ResamplerDeleter {
  void operator()(SRC_STATE* state) const { src_delete(state); }
};

class SoundFile : public SoundInput {
 public:
  explicit SoundFile(const std::string& path) : SoundInput(path) {
    file_.reset(sf_open(path.c_str(), SFM_READ, &info_));
    if (!file_) throw SoundInputError(path + ": " + sf_strerror(nullptr));
    if (info_.channels < 1 || info_.samplerate < 1) {
      throw SoundInputError(path + ": not a sound file this program can read");
    }
    if (info_.frames <= 0) throw SoundInputError(path + ": contains no sound");
    if (DataChunkCutShort())
      throw SoundInputError(path + ": truncated (the sound data ends early)");
    if (info_.samplerate != kRate) {
      int error = 0;
      resampler_.reset(src_new(SRC_SINC_BEST_QUALITY, 1, &error));
      if (!resampler_) throw SoundInputError(path + ": " + src_strerror(error));
      ratio_ = static_cast<double>(kRate) / info_.samplerate;
    }
  }

  std::int64_t ExpectedSamples() const override {
    if (!resampler_) return info_.frames;
    return static_cast<std::int64_t>(std::floor(info_.frames * ratio_));
  }

  std::size_t Read(std::span<std::int16_t> out) override {
    std::size_t delivered = 0;
    while (delivered < out.size()) {
      if (pending_pos_ < pending_.size()) {
        const std::size_t take = std::min(out.size() - delivered, pending_.size() - pending_pos_);
        std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_), take,
                    out.begin() + static_cast<std::ptrdiff_t>(delivered));
        pending_pos_ += take;
        delivered += take;
      } else if (IsCaptureFormat()) {
        // Already what a capture delivers: straight into the caller's samples, no copy between.
        const std::size_t got = ReadShorts(out.subspan(delivered));
        delivered += got;
        if (got == 0) break;
      } else {
        pending_.clear();
        pending_pos_ = 0;
        if (!Refill()) break;
      }
    }
    return delivered;
  }

 private:
  // Up to out.size() samples of a file in the capture's own format; 0 at the end.
  std::size_t ReadShorts(std::span<std::int16_t> out) {
    if (finished_ || out.empty()) return 0;
    const auto wanted = static_cast<sf_count_t>(out.size());
    const sf_count_t got = sf_readf_short(file_.get(), out.data(), wanted);
    CheckRead(got, wanted);
    if (got <= 0) finished_ = true;
    return static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
  }

  // Decodes the next chunk of any other format into pending_; false once nothing more will
  // come.
  bool Refill() {
    if (finished_) return false;
    if (!resampler_) {
      const std::vector<double> mono = ReadMono();
      if (mono.empty()) finished_ = true;
      for (double v : mono) pending_.push_back(ToSample16(v));
      return !finished_;
    }
    // The converter only drains its filter when the last input comes flagged as the end,
    // so it always sees one chunk ahead.
    if (!lookahead_started_) {
      next_chunk_ = ReadMono();
      lookahead_started_ = true;
    }
    const std::vector<double> chunk = std::move(next_chunk_);
    next_chunk_ = chunk.empty() ? std::vector<double>{} : ReadMono();
    const bool last = next_chunk_.empty();
    if (!chunk.empty()) Resample(chunk, last);
    if (last) finished_ = true;
    return !pending_.empty() || !finished_;
  }

  // libsndfile quietly shortens a WAV whose data chunk runs past the end of the file and
  // notes it in its log; a cut-off recording should not pass for a complete one.
  bool DataChunkCutShort() {
    char log[4096] = {};
    sf_command(file_.get(), SFC_GET_LOG_INFO, log, sizeof log);
    std::string text(log);
    for (std::size_t line = 0; line < text.size();) {
      const std::size_t end = std::min(text.find('\n', line), text.size());
      const std::string_view row(text.data() + line, end - line);
      if (row.starts_with("data") && row.find("should be") != std::string_view::npos) return true;
      line = end + 1;
    }
    return false;
  }

  bool IsCaptureFormat() const {
    return info_.channels == 1 && info_.samplerate == kRate &&
           (info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  }

  // After reading `got` of `wanted` frames: a read error, or a short read before the frames the
  // header promised, is an error.
  void CheckRead(sf_count_t got, sf_count_t wanted = kChunkFrames) {
    if (sf_error(file_.get()) != SF_ERR_NO_ERROR) {
      throw SoundInputError(name() + ": " + sf_strerror(file_.get()));
    }
    frames_read_ += got;
    if (got < wanted && frames_read_ < info_.frames) {
      throw SoundInputError(name() + ": truncated (the sound data ends early)");
    }
  }

  std::vector<double> ReadMono() {
    std::vector<double> frames(static_cast<std::size_t>(kChunkFrames * info_.channels));
    const sf_count_t got = sf_readf_double(file_.get(), frames.data(), kChunkFrames);
    CheckRead(got);
    std::vector<double> mono(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
    for (std::size_t frame = 0; frame < mono.size(); ++frame) {
      double sum = 0;
      for (int ch = 0; ch < info_.channels; ++ch) sum += frames[frame * info_.channels + ch];
      mono[frame] = sum / info_.channels;
    }
    return mono;
  }

  void Resample(const std::vector<double>& mono, bool end_of_input) {
    std::vector<float> input(mono.begin(), mono.end());
    std::vector<float> output(static_cast<std::size_t>(input.size() * ratio_) + 4096);
    std::size_t used = 0;
    do {
      SRC_DATA data{};
      // Once all is used the pointer stays on the last frame: one past the end may be where
      // `output` begins, and the converter refuses arrays that seem to overlap.
      data.data_in = input.data() + std::min(used, input.size() - 1);
      data.input_frames = static_cast<long>(input.size() - used);
      data.data_out = output.data();
      data.output_frames = static_cast<long>(output.size());
      data.src_ratio = ratio_;
      data.end_of_input = end_of_input ? 1 : 0;
      if (const int error = src_process(resampler_.get(), &data)) {
        throw SoundInputError(name() + ": " + src_strerror(error));
      }
      used += static_cast<std::size_t>(data.input_frames_used);
      for (long i = 0; i < data.output_frames_gen; ++i) pending_.push_back(ToSample16(output[i]));
      // At the end the converter drains its delay line over several calls.
      if (data.output_frames_gen == 0 && (used == input.size() || data.input_frames_used == 0)) {
        break;
      }
    } while (used < input.size() || end_of_input);
  }

  SF_INFO info_{};
  std::unique_ptr<SNDFILE, SndfileCloser> file_;
  std::unique_ptr<SRC_STATE, ResamplerDeleter> resampler_;
  double ratio_ = 1;
  std::vector<std::int16_t> pending_;
  std::size_t pending_pos_ = 0;
  bool finished_ = false;
  bool lookahead_started_ = false;
  sf_count_t frames_read_ = 0;
  std::vector<double> next_chunk_;
};

class RawStream : public SoundInput {
 public:
  RawStream(std::FILE* stream, const std::string& name) : SoundInput(name), stream_(stream) {}

  std::size_t Read(std::span<std::int16_t> out) override {
    // Little-endian bytes land in place, then become samples whatever the machine's order.
    auto* const bytes = reinterpret_cast<unsigned char*>(out.data());
    const std::size_t wanted = out.size() * 2;
    std::size_t got = 0;
    while (got < wanted) {
      const std::size_t n = std::fread(bytes + got, 1, wanted - got, stream_);
      if (n == 0) break;
      got += n;
    }
    if (std::ferror(stream_)) {
      throw SoundInputError(name() + ": " + std::strerror(errno));
    }
    // An odd last byte is half a sample: not one.
    const std::size_t samples = got / 2;
    if constexpr (std::endian::native != std::endian::little) {
      for (std::size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
      }
    }
    return samples;
  }

 private:
  std::FILE* stream_;
};

}  // namespace

std::size_t SoundInput::Read(std::vector<std::int16_t>& out, std::size_t count) {
  const std::size_t before = out.size();
  out.resize(before + count);
  const std::size_t got = Read(std::span(out).subspan(before));
  out.resize(before + got);
  return got;
}

std::unique_ptr<SoundInput> SoundInput::OpenFile(const std::string& path) {
  return std::make_unique<SoundFile>(path);
}

std::unique_ptr<SoundInput> SoundInput::OpenRaw(std::FILE* stream, const std::string& name) {
  return std::make_unique<RawStream>(stream, name);
}

}  // namespace quorvane
