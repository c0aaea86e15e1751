#include "apps/analyse/block_cycle.h"

#include <sys/mman.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "capture/wave_drivers.h"
#include "common/dispatch.h"
#include "common/vector_types.h"
#include "dsp/fft.h"
#include "dsp/fine_frequency.h"
#include "dsp/levels.h"

namespace quorvane {

namespace {

constexpr double kFftSize = kBlockSamples;

// Blocks travel between the threads in batches, so that the threads wait on each other, and
// wake each other, once per batch rather than once per block.
constexpr std::size_t kBatch = 16;

// Memory for everything a run ahead keeps in flight, in one piece that is handed out in order.
// A fresh page costs a fault the first time it is touched, and faults are dear (in a virtual
// machine above all): on huge pages, where the system gives them, a few faults cover it all.
class RingMemory {
 public:
  explicit RingMemory(std::size_t bytes) : size_(RoundUp(bytes, kHugePage) + kHugePage) {
    void* const mapped =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<std::byte*>(mapped);
    next_ = base_ + (kHugePage - reinterpret_cast<std::uintptr_t>(base_) % kHugePage) % kHugePage;
    // Only a hint: without it the pages are ordinary ones.
    madvise(next_, size_ - static_cast<std::size_t>(next_ - base_), MADV_HUGEPAGE);
  }
  RingMemory(const RingMemory&) = delete;
  RingMemory& operator=(const RingMemory&) = delete;
  ~RingMemory() { munmap(base_, size_); }

  // `count` elements, unset, on a cache line of their own.
  template <typename T>
  T* Take(std::size_t count) {
    T* const taken = reinterpret_cast<T*>(next_);
    next_ += RoundUp(count * sizeof(T), kCacheLine);
    return taken;
  }

  static constexpr std::size_t kCacheLine = 64;

  static constexpr std::size_t RoundUp(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  std::size_t size_;
  std::byte* base_ = nullptr;
  std::byte* next_ = nullptr;
};

// A batch of blocks on its way: read, then transformed by a worker, then shown in order. Its
// buffers, in the ring's memory, are written before they are read.
struct Batch {
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
struct Frame {
  static constexpr std::size_t kBytes =
      2 * RingMemory::RoundUp(SampleArray::size() * sizeof(double), RingMemory::kCacheLine);

  explicit Frame(RingMemory& memory)
      : real(memory.Take<double>(SampleArray::size())),
        imag(memory.Take<double>(SampleArray::size())) {}

  double* real;
  double* imag;
};

// The block's samples as GetSample reads them, fractions of full scale, with no imaginary part:
// the frame as LoadFrame leaves it before the transform, four samples to an instruction. The
// zeros go in the same pass, while the lines are in the cache anyway.
QUORVANE_CLONES void LoadFractions(const std::int16_t* samples, double* real,
                                   double* imag) noexcept {
  constexpr std::size_t kLanes = 4;
  using Shorts = VectorOf<kLanes>::Shorts;
  using Ints = VectorOf<kLanes>::Ints;
  using Doubles = VectorOf<kLanes>::Doubles;
  for (std::size_t i = 0; i < kBlockSamples; i += kLanes) {
    Shorts shorts;
    std::memcpy(&shorts, samples + i, sizeof shorts);
    const Doubles fractions =
        __builtin_convertvector(__builtin_convertvector(shorts, Ints), Doubles) / 32768.0;
    const Doubles zeros = {};
    std::memcpy(real + i, &fractions, sizeof fractions);
    std::memcpy(imag + i, &zeros, sizeof zeros);
  }
}

// What depends on one block alone: the frame as GetAudio loads it, its transform, its levels
// and its line.
void Transform(const std::int16_t* samples, std::span<double> levels, std::optional<double>& line,
               const Frame& frame) {
  LoadFractions(samples, frame.real, frame.imag);
  FFT(static_cast<std::int16_t>(kBlockSamples), {frame.real, kBlockSamples},
      {frame.imag, kBlockSamples});
  BlockLevels(kFftSize, {frame.real, kBlockSamples}, {frame.imag, kBlockSamples}, levels);
  line = FineFrequencyBins({frame.real, kBlockSamples}, {frame.imag, kBlockSamples});
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
    if (ahead || levels_sink_) {
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
  // The samples of the block in hand, for the sink; the device has its own copy.
  std::vector<std::int16_t> samples;
  if (levels_sink_) samples = std::move(first_);
  for (std::int64_t index = 0;; ++index) {
    std::vector<std::int16_t> next;
    const bool next_is_whole = ReadBlock(next);
    const std::size_t left_over = next_is_whole ? 0 : next.size();
    std::vector<std::int16_t> after;
    if (levels_sink_ && next_is_whole) after = next;
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
      levels_sink_(index, levels_, samples);
      samples = std::move(after);
    }
    after_block(index, LineBins(analyser.State()));
    if (!next_is_whole) return left_over;
  }
}

// This thread reads the batches and shows their blocks in order through the window's
// procedures; `workers` threads transform them in between. Blocks are shown, as in RunInOrder,
// only once the next one has been read: a read error ends the run before the block ahead of it
// appears.
std::size_t BlockCycle::RunAhead(Analyser& analyser, unsigned workers,
                                 const AfterBlock& after_block) {
  // A batch for each worker, one being read and one being shown, and as many again to even out
  // blocks that take longer.
  const std::size_t batches = 2 * static_cast<std::size_t>(workers) + 2;
  RingMemory memory(batches * Batch::kBytes + workers * Frame::kBytes);
  std::vector<Batch> ring;
  ring.reserve(batches);
  for (std::size_t b = 0; b < batches; ++b) ring.emplace_back(memory);
  std::vector<Frame> frames;
  for (unsigned i = 0; i < workers; ++i) frames.emplace_back(memory);
  std::mutex mutex;
  // Workers wait for a batch to transform, this thread for the next block to show.
  std::condition_variable to_work, to_show;
  std::deque<std::int64_t> to_transform;  // batches
  std::int64_t read = 0;                  // whole blocks
  bool read_all = false, stopping = false;
  std::size_t left_over = 0;
  std::exception_ptr read_error;
  // This thread's own: the next batch to read, and the blocks shown.
  std::int64_t next_batch = 0, shown = 0;
  const auto batch_of = [&](std::int64_t batch) -> Batch& {
    return ring[static_cast<std::size_t>(batch) % ring.size()];
  };

  // Reads the next batch if its place in the ring is free (every block of the batch that used
  // it last has been shown) and there is more to read; false if not.
  const auto read_next = [&] {
    // `read_all` changes on this thread only.
    if (read_all ||
        (next_batch - std::ssize(ring) + 1) * static_cast<std::int64_t>(kBatch) > shown) {
      return false;
    }
    const std::int64_t index = next_batch++;
    Batch& batch = batch_of(index);
    std::size_t samples = 0;
    if (index == 0)
      samples = std::copy(first_.begin(), first_.end(), batch.samples) - batch.samples;
    std::exception_ptr error;
    try {
      samples += input_.Read({batch.samples + samples, kBatch * kBlockSamples - samples});
    } catch (...) {
      error = std::current_exception();
    }
    const std::size_t whole = samples / kBlockSamples;
    batch.blocks = whole;
    std::lock_guard lock(mutex);
    read += static_cast<std::int64_t>(whole);
    if (whole > 0) {
      to_transform.push_back(index);
      to_work.notify_one();
    }
    if (whole < kBatch || error) {
      left_over = samples % kBlockSamples;
      read_error = error;
      read_all = true;
      to_work.notify_all();
    }
    return true;
  };
  // Workers take the blocks of the oldest batch one at a time, so that a worker held up in one
  // block holds up no more than that block.
  auto transform = [&](const Frame& frame) {
    for (;;) {
      std::int64_t index = 0;
      std::size_t block = 0;
      {
        std::unique_lock lock(mutex);
        to_work.wait(lock, [&] { return stopping || read_all || !to_transform.empty(); });
        if (stopping || to_transform.empty()) return;
        index = to_transform.front();
        Batch& batch = batch_of(index);
        block = batch.claimed++;
        if (batch.claimed == batch.blocks) to_transform.pop_front();
      }
      Batch& batch = batch_of(index);
      const std::span<double> levels{batch.levels + block * kBins, kBins};
      std::exception_ptr error;
      try {
        Transform(batch.samples + block * kBlockSamples, levels, batch.lines[block], frame);
        // Here rather than in block order, to keep the thread that shows the blocks light.
        if (levels_sink_) {
          levels_sink_(index * static_cast<std::int64_t>(kBatch) + static_cast<std::int64_t>(block),
                       levels, {batch.samples + block * kBlockSamples, kBlockSamples});
        }
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(mutex);
      if (error && block < batch.failed) {
        batch.failed = block;
        batch.error = error;
      }
      if (++batch.done == batch.blocks) {
        batch.transformed = true;
        to_show.notify_one();
      }
    }
  };

  std::vector<std::jthread> threads;
  // Stops and joins the threads however this ends; it goes before `threads` is destroyed.
  struct Stop {
    std::mutex& mutex;
    std::condition_variable &to_work, &to_show;
    bool& stopping;
    std::vector<std::jthread>& threads;
    ~Stop() {
      {
        std::lock_guard lock(mutex);
        stopping = true;
        to_work.notify_all();
        to_show.notify_all();
      }
      threads.clear();
    }
  } stop{mutex, to_work, to_show, stopping, threads};
  for (const Frame& frame : frames) threads.emplace_back(transform, std::cref(frame));

  AnalyserState& state = analyser.State();
  for (std::int64_t index = 0;; ++index) {
    const std::int64_t batch_index = index / static_cast<std::int64_t>(kBatch);
    const std::size_t within = static_cast<std::size_t>(index) % kBatch;
    Batch& batch = batch_of(batch_index);
    const auto ready = [&] { return batch.transformed && (read > index + 1 || read_all); };
    // Reads ahead while there is room, and waits only when there is none: the block and the one
    // after it have then been read, and the workers have it in hand.
    while (read_next()) {
    }
    bool last = false;
    {
      std::unique_lock lock(mutex);
      to_show.wait(lock, ready);
      last = read == index + 1;
      if (last && read_error) std::rethrow_exception(read_error);
    }
    if (batch.error && within == batch.failed) std::rethrow_exception(batch.error);
    FoldLevels(state.dblFFTSize, {batch.levels + within * kBins, kBins}, state.dblLevel,
               state.sngMax, state.intPeakFreq, state.sngNoise);
    analyser.ShowSpectrum();
    after_block(index, batch.lines[within]);
    if (within + 1 == kBatch || last) {
      std::lock_guard lock(mutex);
      batch.transformed = false;
      batch.claimed = 0;
      batch.done = 0;
      batch.failed = kBatch;
      batch.error = nullptr;
      shown = index + 1;
    }
    if (last) return left_over;
  }
}

}  // namespace quorvane
