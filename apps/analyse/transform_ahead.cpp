#include "apps/analyse/transform_ahead.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "apps/analyse/load_fractions.h"
#include "common/fixed_sizes.h"
#include "dsp/fft.h"
#include "dsp/fine_frequency.h"
#include "dsp/levels.h"

namespace quorvane {

namespace {

constexpr double kFftSize = kBlockSamples;

// Blocks travel between the threads in batches, so that the threads wait on each other, and
// wake each other, once per batch rather than once per block.
constexpr std::size_t kBatch = 16;

// What depends on one block alone: the frame as GetAudio loads it, its transform, its levels
// and its line. `real` and `imag`: a worker's frame.
void Transform(const std::int16_t* samples, std::span<double> levels, std::optional<double>& line,
               double* real, double* imag) {
  LoadFractions(samples, real, imag);
  FFT(static_cast<std::int16_t>(kBlockSamples), {real, kBlockSamples}, {imag, kBlockSamples});
  BlockLevels(kFftSize, {real, kBlockSamples}, {imag, kBlockSamples}, levels);
  line = FineFrequencyBins({real, kBlockSamples}, {imag, kBlockSamples});
}

}  // namespace

// A batch of blocks on its way: read, then transformed by a worker, then shown in order. Its
// buffers, in the ring's memory, are written before they are read.
struct TransformAhead::Batch {
  static constexpr std::size_t kBytes =
      RingMemory::RoundUp(kBatch * kBlockSamples * sizeof(std::int16_t), RingMemory::kCacheLine) +
      RingMemory::RoundUp(kBatch * kBins * sizeof(double), RingMemory::kCacheLine);

  explicit Batch(RingMemory& memory)
      : samples(memory.Take<std::int16_t>(kBatch * kBlockSamples)),
        levels(memory.Take<double>(kBatch * kBins)) {}

  std::int16_t* samples;
  std::size_t blocks = 0;  // whole blocks read into `samples`
  double* levels;
  std::optional<double> lines[kBatch];
  std::size_t claimed = 0;      // blocks a worker has taken
  std::size_t done = 0;         // blocks transformed (or failed)
  std::size_t failed = kBatch;  // the first block whose transform raised `error`
  std::exception_ptr error;
  bool transformed = false;  // every block done
};

// A worker's frame: the real and imaginary parts the transform works on. As far apart as the
// analyser's own arrays are, not a whole number of pages, so the two do not contend for the
// same cache sets.
struct TransformAhead::Frame {
  static constexpr std::size_t kBytes =
      2 * RingMemory::RoundUp(SampleArray::size() * sizeof(double), RingMemory::kCacheLine);

  explicit Frame(RingMemory& memory)
      : real(memory.Take<double>(SampleArray::size())),
        imag(memory.Take<double>(SampleArray::size())) {}

  double* real;
  double* imag;
};

TransformAhead::TransformAhead(SoundInput& input, std::span<const std::int16_t> first,
                               const BlockLevelsSink& levels_sink, unsigned workers)
    : input_(input),
      first_(first),
      levels_sink_(levels_sink),
      // A batch for each worker, one being read and one being shown, and as many again to even
      // out blocks that take longer.
      memory_((2 * static_cast<std::size_t>(workers) + 2) * Batch::kBytes +
              workers * Frame::kBytes) {
  const std::size_t batches = 2 * static_cast<std::size_t>(workers) + 2;
  ring_.reserve(batches);
  for (std::size_t b = 0; b < batches; ++b) ring_.emplace_back(memory_);
  for (unsigned i = 0; i < workers; ++i) frames_.emplace_back(memory_);
}

TransformAhead::~TransformAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    to_work_.notify_all();
    to_show_.notify_all();
  }
  threads_.clear();
}

TransformAhead::Batch& TransformAhead::BatchOf(std::int64_t batch) {
  return ring_[static_cast<std::size_t>(batch) % ring_.size()];
}

// Reads the next batch if its place in the ring is free (every block of the batch that used it
// last has been shown) and there is more to read; false if not.
bool TransformAhead::ReadNext() {
  // `read_all_` changes on this thread only.
  if (read_all_ ||
      (next_batch_ - std::ssize(ring_) + 1) * static_cast<std::int64_t>(kBatch) > shown_) {
    return false;
  }
  const std::int64_t index = next_batch_++;
  Batch& batch = BatchOf(index);
  std::size_t samples = 0;
  if (index == 0) samples = std::copy(first_.begin(), first_.end(), batch.samples) - batch.samples;
  std::exception_ptr error;
  try {
    samples += input_.Read({batch.samples + samples, kBatch * kBlockSamples - samples});
  } catch (...) {
    error = std::current_exception();
  }
  const std::size_t whole = samples / kBlockSamples;
  batch.blocks = whole;
  std::lock_guard lock(mutex_);
  read_ += static_cast<std::int64_t>(whole);
  if (whole > 0) {
    to_transform_.push_back(index);
    to_work_.notify_one();
  }
  if (whole < kBatch || error) {
    left_over_ = samples % kBlockSamples;
    read_error_ = error;
    read_all_ = true;
    to_work_.notify_all();
  }
  return true;
}

// Workers take the blocks of the oldest batch one at a time, so that a worker held up in one
// block holds up no more than that block.
void TransformAhead::TransformBlocks(const Frame& frame) {
  for (;;) {
    std::int64_t index = 0;
    std::size_t block = 0;
    {
      std::unique_lock lock(mutex_);
      to_work_.wait(lock, [&] { return stopping_ || read_all_ || !to_transform_.empty(); });
      if (stopping_ || to_transform_.empty()) return;
      index = to_transform_.front();
      Batch& batch = BatchOf(index);
      block = batch.claimed++;
      if (batch.claimed == batch.blocks) to_transform_.pop_front();
    }
    Batch& batch = BatchOf(index);
    const std::span<double> levels{batch.levels + block * kBins, kBins};
    std::exception_ptr error;
    try {
      Transform(batch.samples + block * kBlockSamples, levels, batch.lines[block], frame.real,
                frame.imag);
      // Here rather than in block order, to keep the thread that shows the blocks light.
      if (levels_sink_) {
        levels_sink_(index * static_cast<std::int64_t>(kBatch) + static_cast<std::int64_t>(block),
                     levels, {batch.samples + block * kBlockSamples, kBlockSamples});
      }
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    if (error && block < batch.failed) {
      batch.failed = block;
      batch.error = error;
    }
    if (++batch.done == batch.blocks) {
      batch.transformed = true;
      to_show_.notify_one();
    }
  }
}

std::size_t TransformAhead::ShowInOrder(Analyser& analyser, const AfterBlock& after_block) {
  // Here rather than in the constructor: the destructor stops whichever have started.
  for (const Frame& frame : frames_) {
    threads_.emplace_back([this, &frame] { TransformBlocks(frame); });
  }
  AnalyserState& state = analyser.State();
  for (std::int64_t index = 0;; ++index) {
    const std::int64_t batch_index = index / static_cast<std::int64_t>(kBatch);
    const std::size_t within = static_cast<std::size_t>(index) % kBatch;
    Batch& batch = BatchOf(batch_index);
    const auto ready = [&] { return batch.transformed && (read_ > index + 1 || read_all_); };
    // Reads ahead while there is room, and waits only when there is none: the block and the one
    // after it have then been read, and the workers have it in hand.
    while (ReadNext()) {
    }
    bool last = false;
    {
      std::unique_lock lock(mutex_);
      to_show_.wait(lock, ready);
      last = read_ == index + 1;
      if (last && read_error_) std::rethrow_exception(read_error_);
    }
    if (batch.error && within == batch.failed) std::rethrow_exception(batch.error);
    FoldLevels(state.dblFFTSize, {batch.levels + within * kBins, kBins}, state.dblLevel,
               state.sngMax, state.intPeakFreq, state.sngNoise);
    analyser.ShowSpectrum();
    after_block(index, batch.lines[within]);
    if (within + 1 == kBatch || last) {
      std::lock_guard lock(mutex_);
      batch.transformed = false;
      batch.claimed = 0;
      batch.done = 0;
      batch.failed = kBatch;
      batch.error = nullptr;
      shown_ = index + 1;
    }
    if (last) return left_over_;
  }
}

}  // namespace quorvane
