#pragma once

// How a source hands its sound on, as far as a silence watch needs to know. A source that
// gathers its sound before sending it (a network source, a Bluetooth headset, one fed through a
// pipe) sends seconds of it at once and then nothing for as long: a wait that long is its way
// of working, not silence. Pieces that come close together make one burst; what counts is the
// most sound one burst brought and the longest time from one burst to the next.
//
// Plain arithmetic over the times it is given: no lock (the driver calls it under its own) and
// no sound server, so its edges are tested alone.

#include <cstddef>
#include <cstdint>

namespace quorvane::wavein {

class ArrivalPace {
 public:
  // Pieces that come within this long of the first of a burst count as one burst.
  static constexpr std::uint64_t kBurstWindowUs = 50'000;

  explicit ArrivalPace(std::uint32_t bytes_per_second) : bytes_per_second_(bytes_per_second) {}

  // `bytes` of sound (a hole counts too) arrived at `now_us` on a monotonic clock.
  void Arrived(std::uint64_t now_us, std::size_t bytes);
  // The sound stopped for a reason of its own (a suspension, a new stream): the next burst
  // is not measured from the last.
  void Break() { after_break_ = true; }

  // Once two bursts were measured one after the other: the longer of the most sound one burst
  // brought and the longest time between two bursts' starts, in microseconds. 0 until then.
  std::uint64_t UsualWaitUs() const;
  // Whether the pace is known at `now_us`: two bursts measured, and the sound watched for at
  // least `settle_us` since it first came. What a source had gathered before the stream came
  // arrives as quick bursts first, and says nothing of its own pace.
  bool known(std::uint64_t now_us, std::uint64_t settle_us) const {
    return longest_interval_us_ > 0 && now_us - first_arrival_us_ >= settle_us;
  }

  // Another source, or another server: nothing known of it yet.
  void Forget() { *this = ArrivalPace(bytes_per_second_); }

 private:
  std::uint32_t bytes_per_second_;
  bool after_break_ = true;
  std::uint64_t first_arrival_us_ = 0;
  std::uint64_t burst_start_us_ = 0;
  std::size_t burst_bytes_ = 0;
  std::size_t largest_bytes_ = 0;
  std::uint64_t longest_interval_us_ = 0;
};

}  // namespace quorvane::wavein
