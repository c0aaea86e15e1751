#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fixed_sizes.h"

namespace quorvane {

// A file or stream that cannot be read as sound; the message is one line for the user.
class SoundInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Sound as a capture delivers it: mono (channels averaged), 22050 samples/s (resampled with
// libsamplerate's best sinc converter when the source rate differs), signed 16-bit (rounded
// to nearest, clipped at full scale). Read in pieces, so hour-long files stay small in memory.
class SoundInput {
 public:
  static constexpr int kRate = kSampleRate;

  // Any file libsndfile reads (WAV, FLAC, Ogg Vorbis, AIFF, ...).
  static std::unique_ptr<SoundInput> OpenFile(const std::string& path);
  // Raw signed 16-bit little-endian mono at 22050/s, e.g. standard input.
  static std::unique_ptr<SoundInput> OpenRaw(std::FILE* stream, const std::string& name);

  virtual ~SoundInput() = default;

  // Fills `out` from its start as far as the sound goes; returns how many samples, fewer than
  // out.size() only at the end.
  virtual std::size_t Read(std::span<std::int16_t> out) = 0;

  // Appends up to `count` samples; returns how many, 0 at the end.
  std::size_t Read(std::vector<std::int16_t>& out, std::size_t count);

  // Length in samples at 22050/s when the source says so in advance, else -1.
  virtual std::int64_t ExpectedSamples() const { return -1; }

  const std::string& name() const { return name_; }

 protected:
  explicit SoundInput(std::string name) : name_(std::move(name)) {}

 private:
  std::string name_;
};

// The nearest 16-bit value to a sample in -1..1 full scale, clipped.
std::int16_t ToSample16(double full_scale_fraction);

}  // namespace quorvane
