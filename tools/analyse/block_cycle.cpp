#include "tools/analyse/block_cycle.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "capture/wave_drivers.h"
#include "dsp/fine_frequency.h"
#include "dsp/frame.h"
#include "dsp/levels.h"

namespace quorvane {

namespace {

constexpr double kFftSize = kBlockSamples;
constexpr std::size_t kBins = kBlockSamples / 2 + 1;

// Blocks travel between the threads in batches, so that the threads wait on each other, and
// wake each other, once per batch rather than once per block.
constexpr std::size_t kBatch = 8;

// A batch of blocks on its way: read, then transformed by a worker, then shown in order.
struct Batch {
  std::vector<std::int16_t> samples;  // its whole blocks, then any part of one left over
  std::vector<double> levels = std::vector<double>(kBatch * kBins);
  std::optional<double> lines[kBatch];
  std::size_t failed = kBatch;  // the block whose transform raised `error`
  std::exception_ptr error;
  bool transformed = false;
};

// What depends on one block alone: the frame as GetAudio loads it (samples as GetSample reads
// them), its transform, its levels and its line.
void Transform(const std::int16_t* samples, std::span<double> levels, std::optional<double>& line,
               SampleArray& real, SampleArray& imag) {
  double last_sample = 0;
  LoadFrame(
      kFftSize,
      [samples](Long index, double& out) { out = static_cast<double>(samples[index]) / 32768.0; },
      last_sample, real, imag);
  BlockLevels(kFftSize, {real.data(), kBlockSamples}, {imag.data(), kBlockSamples}, levels);
  line = FineFrequencyBins({real.data(), kBlockSamples}, {imag.data(), kBlockSamples});
}

void Transform(Batch& batch, std::size_t blocks, SampleArray& real, SampleArray& imag) {
  for (std::size_t b = 0; b < blocks; ++b) {
    try {
      Transform(batch.samples.data() + b * kBlockSamples, {batch.levels.data() + b * kBins, kBins},
                batch.lines[b], real, imag);
    } catch (...) {
      batch.failed = b;
      batch.error = std::current_exception();
      return;
    }
  }
}

}  // namespace

BlockReadouts ReadoutTexts(const CaptionControl& lblFreq, const CaptionControl& lblMax,
                           const CaptionControl& lblMaxHold, const CaptionControl& Label4) {
  BlockReadouts readouts;
  readouts.freq_text = lblFreq.Caption();
  readouts.sig_max_text = lblMax.Caption();
  readouts.max_hold_text = lblMaxHold.Caption();
  readouts.noise_text = Label4.Caption();
  return readouts;
}

std::optional<double> LineBins(const AnalyserState& state) {
  return FineFrequencyBins({state.dblReal.data(), kBlockSamples},
                           {state.dblImag.data(), kBlockSamples});
}

BlockCycle::BlockCycle(SoundInput& input) : input_(input) {
  if (!ReadBlock(first_)) {
    throw SoundInputError(input.name() + (first_.empty() ? ": contains no sound"
                                                         : ": shorter than one block (8192 "
                                                           "samples, 0.37 s)"));
  }
}

bool BlockCycle::ReadBlock(std::vector<std::int16_t>& block) {
  block.clear();
  while (block.size() < kBlockSamples) {
    if (input_.Read(block, kBlockSamples - block.size()) == 0) break;
  }
  return block.size() == kBlockSamples;
}

std::size_t BlockCycle::Run(Analyser& analyser, int ref_level, unsigned threads,
                            const AfterBlock& after_block, bool beside_others) {
  // The wave-input driver is chosen for the whole process: one recording at a time chooses it
  // and opens its device on it.
  static std::mutex capture;
  const bool ahead = threads > 1 || beside_others;
  {
    std::unique_lock lock(capture, std::defer_lock);
    if (beside_others) lock.lock();
    // Ahead of the window's procedures the first block goes to a worker, so the device gets a
    // copy of it.
    if (ahead) {
      UseMemoryWaveInput(first_);
    } else {
      UseMemoryWaveInput(std::move(first_));
    }
    analyser.StartUp();
  }
  if (static_cast<float>(ref_level) != kStartRefLevel)
    analyser.scrReflvl_Change(static_cast<Integer>(ref_level));
  const std::size_t left_over = ahead ? RunAhead(analyser, std::max(threads, 1u), after_block)
                                      : RunInOrder(analyser, after_block);
  // Closing touches this recording's own device only.
  analyser.Form_QueryUnload();
  if (!beside_others) UsePulseWaveInput();
  return left_over;
}

std::size_t BlockCycle::RunInOrder(Analyser& analyser, const AfterBlock& after_block) {
  for (std::int64_t index = 0;; ++index) {
    std::vector<std::int16_t> next;
    const bool next_is_whole = ReadBlock(next);
    const std::size_t left_over = next_is_whole ? 0 : next.size();
    // The restart inside the cycle opens the device on the next block's samples.
    UseMemoryWaveInput(next_is_whole ? std::move(next) : std::vector<std::int16_t>{});
    if (!analyser.Timer1_Timer()) {
      throw SoundInputError("block " + std::to_string(index) + " was not captured");
    }
    if (levels_sink_) {
      // The window's pass smooths as it goes; the block's own levels come from its spectrum.
      const AnalyserState& state = analyser.State();
      levels_.resize(kBins);
      BlockLevels(kFftSize, {state.dblReal.data(), kBlockSamples},
                  {state.dblImag.data(), kBlockSamples}, levels_);
      levels_sink_(index, levels_);
    }
    after_block(index, LineBins(analyser.State()));
    if (!next_is_whole) return left_over;
  }
}

// One reader, `workers` transforming, and this thread showing the blocks in order through the
// window's procedures. Blocks are shown, as in RunInOrder, only once the next one has been
// read: a read error ends the run before the block ahead of it appears.
std::size_t BlockCycle::RunAhead(Analyser& analyser, unsigned workers,
                                 const AfterBlock& after_block) {
  // A batch for each worker, one being read and one being shown, and as many again to even out
  // blocks that take longer.
  std::vector<Batch> ring(2 * static_cast<std::size_t>(workers) + 2);
  std::mutex mutex;
  // Each party waits on its own: the reader for a free batch, workers for a batch to
  // transform, this thread for the next block to show.
  std::condition_variable to_read, to_work, to_show;
  std::deque<std::int64_t> to_transform;  // batches
  std::int64_t read = 0, shown = 0;       // whole blocks
  bool read_all = false, stopping = false;
  std::size_t left_over = 0;
  std::exception_ptr read_error;
  const auto batch_of = [&](std::int64_t batch) -> Batch& {
    return ring[static_cast<std::size_t>(batch) % ring.size()];
  };
  const auto blocks_in = [&](std::int64_t batch) {
    return static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(kBatch), read - batch * static_cast<std::int64_t>(kBatch)));
  };

  auto read_ahead = [&] {
    for (std::int64_t index = 0;; ++index) {
      Batch& batch = batch_of(index);
      {
        std::unique_lock lock(mutex);
        // Free once every block of the batch that used it last has been shown.
        to_read.wait(lock, [&] {
          return stopping ||
                 (index - std::ssize(ring) + 1) * static_cast<std::int64_t>(kBatch) <= shown;
        });
        if (stopping) return;
      }
      batch.samples.clear();
      if (index == 0) batch.samples = std::move(first_);
      std::exception_ptr error;
      try {
        const std::size_t wanted = kBatch * kBlockSamples;
        while (batch.samples.size() < wanted) {
          if (input_.Read(batch.samples, wanted - batch.samples.size()) == 0) break;
        }
      } catch (...) {
        error = std::current_exception();
      }
      const std::size_t whole = batch.samples.size() / kBlockSamples;
      std::lock_guard lock(mutex);
      read += static_cast<std::int64_t>(whole);
      if (whole > 0) {
        to_transform.push_back(index);
        to_work.notify_one();
      }
      to_show.notify_one();
      if (whole == kBatch && !error) continue;
      left_over = batch.samples.size() % kBlockSamples;
      read_error = error;
      read_all = true;
      to_work.notify_all();
      return;
    }
  };
  auto transform = [&] {
    // 128 KiB each: on the heap, not on a worker's stack.
    const auto real = std::make_unique<SampleArray>();
    const auto imag = std::make_unique<SampleArray>();
    for (;;) {
      std::int64_t index = 0;
      std::size_t blocks = 0;
      {
        std::unique_lock lock(mutex);
        to_work.wait(lock, [&] { return stopping || read_all || !to_transform.empty(); });
        if (stopping || to_transform.empty()) return;
        index = to_transform.front();
        to_transform.pop_front();
        blocks = blocks_in(index);
      }
      Batch& batch = batch_of(index);
      Transform(batch, blocks, *real, *imag);
      // Here rather than in block order, to keep the thread that shows the blocks light.
      if (levels_sink_) {
        for (std::size_t b = 0; b < std::min(blocks, batch.failed); ++b) {
          try {
            levels_sink_(index * static_cast<std::int64_t>(kBatch) + static_cast<std::int64_t>(b),
                         {batch.levels.data() + b * kBins, kBins});
          } catch (...) {
            batch.failed = b;
            batch.error = std::current_exception();
          }
        }
      }
      std::lock_guard lock(mutex);
      batch.transformed = true;
      to_show.notify_one();
    }
  };

  std::vector<std::jthread> threads;
  // Stops and joins the threads however this ends; it goes before `threads` is destroyed.
  struct Stop {
    std::mutex& mutex;
    std::condition_variable &to_read, &to_work, &to_show;
    bool& stopping;
    std::vector<std::jthread>& threads;
    ~Stop() {
      {
        std::lock_guard lock(mutex);
        stopping = true;
        to_read.notify_all();
        to_work.notify_all();
        to_show.notify_all();
      }
      threads.clear();
    }
  } stop{mutex, to_read, to_work, to_show, stopping, threads};
  threads.emplace_back(read_ahead);
  for (unsigned i = 0; i < workers; ++i) threads.emplace_back(transform);

  AnalyserState& state = analyser.State();
  for (std::int64_t index = 0;; ++index) {
    const std::int64_t batch_index = index / static_cast<std::int64_t>(kBatch);
    const std::size_t within = static_cast<std::size_t>(index) % kBatch;
    Batch& batch = batch_of(batch_index);
    bool last = false;
    {
      std::unique_lock lock(mutex);
      to_show.wait(lock, [&] { return batch.transformed && (read > index + 1 || read_all); });
      last = read == index + 1;
      if (last && read_error) std::rethrow_exception(read_error);
    }
    if (batch.error && within == batch.failed) std::rethrow_exception(batch.error);
    FoldLevels(state.dblFFTSize, {batch.levels.data() + within * kBins, kBins}, state.dblLevel,
               state.sngMax, state.intPeakFreq, state.sngNoise);
    analyser.ShowSpectrum();
    after_block(index, batch.lines[within]);
    if (within + 1 == kBatch || last) {
      std::lock_guard lock(mutex);
      batch.transformed = false;
      batch.failed = kBatch;
      batch.error = nullptr;
      shown = index + 1;
      to_read.notify_one();
    }
    if (last) return left_over;
  }
}

}  // namespace quorvane
