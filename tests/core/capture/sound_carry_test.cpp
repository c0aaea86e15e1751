// The sound kept between blocks, against a clock the test sets: a counting signal (sample n is
// n) arrives in pieces, so which samples a buffer got says where it starts.

#include <gtest/gtest.h>

#include <numeric>

#include "capture/arrival_pace.h"
#include "capture/sound_carry.h"

namespace quorvane::wavein {
namespace {

constexpr std::size_t kLimit = 11024;  // bytes: a quarter second, the driver's limit

struct Buffer {
  explicit Buffer(std::size_t samples) : samples(samples, -1) {
    header.lpData = reinterpret_cast<char*>(this->samples.data());
    header.dwBufferLength = static_cast<DWORD>(samples * 2);
  }
  std::vector<std::int16_t> samples;
  WAVEHDR header{};
};

struct CountingStream {
  // A piece of `count` samples arrives now, after the time they took to play.
  void Piece(std::size_t count, BufferQueue* recording, bool hole = false) {
    std::vector<std::int16_t> piece(count);
    std::iota(piece.begin(), piece.end(), static_cast<std::int16_t>(next));
    next += static_cast<std::int64_t>(count);
    now_us += count * 1'000'000 / 22050;
    carry.Arrive(hole ? nullptr : piece.data(), count * 2, recording);
  }
  // Pieces until `buffer` is done, recording into it from now on.
  void RecordInto(Buffer& buffer, std::size_t piece) {
    queue.Add(&buffer.header);
    carry.Resume(queue);
    while ((buffer.header.dwFlags & WHDR_DONE) == 0) Piece(piece, &queue);
  }
  std::uint64_t now_us = 1'000'000;
  std::int64_t next = 0;
  BufferQueue queue;
  SoundCarry carry{kLimit, 44100, [this] { return now_us; }};
};

// Samples lost between two blocks of `size`, the second queued `pause_us` after the first was
// done, the stream arriving `piece` samples at a time.
TEST(SoundCarry, BlocksLieApartByThePauseWhateverThePieces) {
  const struct {
    std::size_t piece, size;
    std::uint64_t pause_us;
    std::int16_t lost;
  } cases[] = {
      {2048, 8192, 0, 0},          // queued at once: not a sample lost
      {2048, 8192, 1000, 22},      // the restart's millisecond (22.05 samples) is left out
      {4096, 1000, 1000, 22},      // a piece larger than a buffer: its rest starts the next
      {512, 8192, 500000, 11025},  // a pause longer than what is kept: skipped as it arrives
      // A piece beyond the limit: of its 7192 samples past the block, only the newest 5512
      // are kept, so the next block starts 1680 samples late.
      {8192, 1000, 1000, 1680},
  };
  for (const auto& c : cases) {
    CountingStream stream;
    Buffer first(c.size), second(c.size);
    stream.RecordInto(first, c.piece);
    stream.now_us += c.pause_us;
    stream.RecordInto(second, c.piece);
    EXPECT_EQ(second.samples.front() - first.samples.back() - 1, c.lost)
        << "piece " << c.piece << ", buffer " << c.size << ", pause " << c.pause_us;
    // And no sample lost inside it.
    EXPECT_EQ(second.samples.back() - second.samples.front() + 1, static_cast<int>(c.size));
  }
}

// A hole in the stream is silence. A buffer queued later than at once starts with the sound
// of that moment, and one smaller than what is kept takes its part and leaves the rest.
TEST(SoundCarry, HolesAreSilenceAndSmallBuffersTakeTheirPart) {
  CountingStream stream;
  Buffer first(100), second(50), third(50);
  stream.queue.Add(&first.header);
  stream.carry.Resume(stream.queue);
  stream.Piece(200, &stream.queue, true);  // samples 0..199, a hole
  EXPECT_EQ(first.samples, std::vector<std::int16_t>(100, 0));
  stream.Piece(100, nullptr);  // 200..299 while no buffer records: their 4535 us pass
  EXPECT_EQ(stream.carry.kept(), 2 * 200u);
  // 4535 us are 99 whole samples: the second buffer starts at 100 + 99.
  stream.RecordInto(second, 10);
  EXPECT_EQ(second.samples[0], 0);  // 199, in the hole
  EXPECT_EQ(second.samples[1], 200);
  stream.RecordInto(third, 10);  // queued at once
  EXPECT_EQ(third.samples.front(), 249);
  EXPECT_EQ(stream.carry.kept(), 2u);  // 299
}

// How a source's sound comes: a source that sends 2 s at a time and waits as long between is
// slow, not silent, and its bursts say so. Its pace is known once two bursts were measured one
// after the other.
TEST(ArrivalPace, TheUsualWaitIsTheLargestBurstOrTheLongestTimeBetweenTwo) {
  constexpr std::size_t kFragment = 4096;  // 92.9 ms at 44100 bytes a second
  constexpr std::uint64_t kWindow = ArrivalPace::kBurstWindowUs;
  struct Piece {
    std::uint64_t at_us;
    std::size_t bytes;
    bool after_break = false;
  };
  const struct {
    const char* what;
    std::vector<Piece> pieces;
    std::uint64_t usual_us;  // 0: not known
  } cases[] = {
      {"nothing yet", {}, 0},
      {"one burst says nothing of the pace", {{0, 88200}}, 0},
      {"a fragment every 93 ms",
       {{0, kFragment}, {93'000, kFragment}, {186'000, kFragment}},
       93'000},
      {"two fragments in one wake",
       {{0, kFragment}, {93'000, kFragment}, {93'100, kFragment}},
       185'759},
      {"the window's edge belongs to the burst", {{0, kFragment}, {kWindow, kFragment}}, 0},
      {"just past it starts another", {{0, kFragment}, {kWindow + 1, kFragment}}, 92'879},
      {"a scrap, then 2 s at a time in pieces of 64 KiB and the rest",
       {{0, 2000}, {1'900'000, 65536}, {1'900'300, 22664}, {3'900'000, 65536}},
       2'000'000},
      {"a break: the wait across it is not measured",
       {{0, kFragment}, {2'000'000, kFragment, true}, {2'093'000, kFragment}},
       93'000},
      {"empty pieces count for nothing", {{0, 0}, {10, 0}}, 0},
  };
  for (const auto& [what, pieces, usual_us] : cases) {
    ArrivalPace pace(44100);
    for (const auto& [at, bytes, after_break] : pieces) {
      if (after_break) pace.Break();
      pace.Arrived(1'000'000 + at, bytes);
    }
    EXPECT_EQ(pace.UsualWaitUs(), usual_us) << what;
    // Known once watched long enough after the first sound, and not before.
    EXPECT_EQ(pace.known(10'000'000, 3'500'000), usual_us > 0) << what;
    EXPECT_FALSE(pace.known(1'000'000 + 3'000'000, 3'500'000)) << what << ", too soon";
    pace.Forget();
    EXPECT_FALSE(pace.known(10'000'000, 3'500'000)) << what << ", forgotten";
  }
}

}  // namespace
}  // namespace quorvane::wavein
