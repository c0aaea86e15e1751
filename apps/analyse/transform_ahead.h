#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "analyser/analyser.h"
#include "apps/analyse/block_cycle.h"
#include "apps/analyse/ring_memory.h"
#include "apps/analyse/sound_input.h"

namespace quorvane {

// A recording's blocks transformed ahead of the window's procedures. The thread that calls
// ShowInOrder reads the batches and shows their blocks in order through the procedures;
// `workers` threads transform them in between. Blocks are shown, as in a run in order, only
// once the next one has been read: a read error ends the run before the block ahead of it
// appears.
class TransformAhead {
 public:
  // `first`: the recording's first block, already read; the rest comes from `input`.
  // `levels_sink`, if set, gets each block's own levels from the worker that transformed it.
  TransformAhead(SoundInput& input, std::span<const std::int16_t> first,
                 const BlockLevelsSink& levels_sink, unsigned workers);
  // Stops and joins the workers, however the run ended.
  ~TransformAhead();
  TransformAhead(const TransformAhead&) = delete;
  TransformAhead& operator=(const TransformAhead&) = delete;

  // Starts the workers, folds each block into the analyser's state and shows it, calling
  // `after_block` after each. Once only. Returns how many trailing samples made no whole block.
  std::size_t ShowInOrder(Analyser& analyser, const AfterBlock& after_block);

 private:
  struct Batch;
  struct Frame;

  Batch& BatchOf(std::int64_t batch);
  bool ReadNext();
  void TransformBlocks(const Frame& frame);

  SoundInput& input_;
  std::span<const std::int16_t> first_;
  const BlockLevelsSink& levels_sink_;
  RingMemory memory_;
  std::vector<Batch> ring_;
  std::vector<Frame> frames_;

  std::mutex mutex_;
  // Workers wait for a batch to transform, the showing thread for the next block to show.
  std::condition_variable to_work_, to_show_;
  std::deque<std::int64_t> to_transform_;  // batches
  std::int64_t read_ = 0;                  // whole blocks
  bool read_all_ = false, stopping_ = false;
  std::size_t left_over_ = 0;
  std::exception_ptr read_error_;

  // The showing thread's own: the next batch to read, and the blocks shown.
  std::int64_t next_batch_ = 0, shown_ = 0;

  // Last, so that the workers stop before what they work on goes.
  std::vector<std::jthread> threads_;
};

}  // namespace quorvane
