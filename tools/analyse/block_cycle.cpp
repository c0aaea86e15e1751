#include "tools/analyse/block_cycle.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
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

std::optional<double> LineBins(const SampleArray& real, const SampleArray& imag) {
  return FineFrequencyBins({real.data(), kBlockSamples}, {imag.data(), kBlockSamples});
}

// One block on its way: read, then transformed by a worker, then shown in order.
struct Slot {
  std::vector<std::int16_t> samples;
  std::vector<double> levels = std::vector<double>(kBins);
  std::optional<double> line;
  std::exception_ptr error;
  bool transformed = false;
};

// What depends on one block alone: the frame as GetAudio loads it (samples as GetSample reads
// them), its transform, its levels and its line.
void Transform(Slot& slot, SampleArray& real, SampleArray& imag) {
  double last_sample = 0;
  LoadFrame(
      kFftSize,
      [&slot](Long index, double& out) {
        out = static_cast<double>(slot.samples[index]) / 32768.0;
      },
      last_sample, real, imag);
  BlockLevels(kFftSize, {real.data(), kBlockSamples}, {imag.data(), kBlockSamples}, slot.levels);
  slot.line = LineBins(real, imag);
}

}  // namespace

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
                            const AfterBlock& after_block) {
  // Ahead of the window's procedures the first block goes to a worker, so the device gets a
  // copy of it.
  if (threads > 1) {
    UseMemoryWaveInput(first_);
  } else {
    UseMemoryWaveInput(std::move(first_));
  }
  analyser.StartUp();
  if (static_cast<float>(ref_level) != kStartRefLevel)
    analyser.scrReflvl_Change(static_cast<Integer>(ref_level));
  const std::size_t left_over =
      threads > 1 ? RunAhead(analyser, threads, after_block) : RunInOrder(analyser, after_block);
  analyser.Form_QueryUnload();
  UsePulseWaveInput();
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
    after_block(index, LineBins(analyser.State().dblReal, analyser.State().dblImag));
    if (!next_is_whole) return left_over;
  }
}

// One reader, `workers` transforming, and this thread showing the blocks in order through the
// window's procedures. Blocks are shown, as in RunInOrder, only once the next one has been
// read: a read error ends the run before the block ahead of it appears.
std::size_t BlockCycle::RunAhead(Analyser& analyser, unsigned workers,
                                 const AfterBlock& after_block) {
  std::vector<Slot> ring(4 * static_cast<std::size_t>(workers));
  std::mutex mutex;
  // Each party waits on its own: the reader for a free slot, workers for a block to
  // transform, this thread for the next block to show.
  std::condition_variable to_read, to_work, to_show;
  std::deque<std::int64_t> to_transform{0};
  std::int64_t read = 1, shown = 0;  // whole blocks
  bool read_all = false, stopping = false;
  std::size_t left_over = 0;
  std::exception_ptr read_error;
  ring[0].samples = std::move(first_);

  auto read_ahead = [&] {
    for (std::int64_t index = 1;; ++index) {
      Slot& slot = ring[index % ring.size()];
      {
        std::unique_lock lock(mutex);
        to_read.wait(lock, [&] { return stopping || index < shown + std::ssize(ring); });
        if (stopping) return;
      }
      bool whole = false;
      std::exception_ptr error;
      try {
        whole = ReadBlock(slot.samples);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(mutex);
      to_show.notify_one();
      if (whole) {
        read = index + 1;
        to_transform.push_back(index);
        to_work.notify_one();
        continue;
      }
      left_over = slot.samples.size();
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
      {
        std::unique_lock lock(mutex);
        to_work.wait(lock, [&] { return stopping || read_all || !to_transform.empty(); });
        if (stopping || to_transform.empty()) return;
        index = to_transform.front();
        to_transform.pop_front();
      }
      Slot& slot = ring[index % ring.size()];
      try {
        Transform(slot, *real, *imag);
        // Here rather than in block order, to keep the thread that shows the blocks light.
        if (levels_sink_) levels_sink_(index, slot.levels);
      } catch (...) {
        slot.error = std::current_exception();
      }
      std::lock_guard lock(mutex);
      slot.transformed = true;
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
    Slot& slot = ring[index % ring.size()];
    bool last = false;
    {
      std::unique_lock lock(mutex);
      to_show.wait(lock, [&] { return slot.transformed && (read > index + 1 || read_all); });
      last = read == index + 1;
      if (last && read_error) std::rethrow_exception(read_error);
    }
    if (slot.error) std::rethrow_exception(slot.error);
    FoldLevels(state.dblFFTSize, slot.levels, state.dblLevel, state.sngMax, state.intPeakFreq,
               state.sngNoise);
    analyser.ShowSpectrum();
    after_block(index, slot.line);
    {
      std::lock_guard lock(mutex);
      slot.transformed = false;
      shown = index + 1;
      to_read.notify_one();
    }
    if (last) return left_over;
  }
}

}  // namespace quorvane
