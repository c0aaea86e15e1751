// Writes an endless demo signal as raw signed 16-bit little-endian mono at 22050/s to
// standard output: a steady 1 kHz tone over low noise, plus a quieter tone that sweeps from
// 270 Hz to 2700 Hz and back every 40 s. A consumer that plays it in real time (pacat into a
// null sink) clocks it.
//
//   quorvane-demo-signal [--seconds N]

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr double kRate = 22050;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kSweepLow = 270;
constexpr double kSweepHigh = 2700;
constexpr double kSweepPeriodSeconds = 40;

}  // namespace

int main(int argc, char** argv) {
  double seconds = -1;  // endless
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: quorvane-demo-signal [--seconds N]\n");
      return 2;
    }
  }
  std::mt19937 random(1);
  std::normal_distribution<double> noise(0, 60);
  std::vector<unsigned char> chunk(2 * 1024);
  double sweep_phase = 0;
  const long long total = seconds < 0 ? -1 : static_cast<long long>(seconds * kRate);
  for (long long n = 0; total < 0 || n < total;) {
    std::size_t bytes = 0;
    for (; bytes < chunk.size() && (total < 0 || n < total); bytes += 2, ++n) {
      const double t = n / kRate;
      // Triangle between the sweep's ends, so the trace walks across the whole axis.
      const double position = std::fmod(t / kSweepPeriodSeconds, 1.0);
      const double fraction = position < 0.5 ? 2 * position : 2 - 2 * position;
      const double sweep_hz = kSweepLow * std::pow(kSweepHigh / kSweepLow, fraction);
      sweep_phase = std::fmod(sweep_phase + kTwoPi * sweep_hz / kRate, kTwoPi);
      const double value = 6000 * std::sin(kTwoPi * 1000 * t) + 1500 * std::sin(sweep_phase) +
                           noise(random);
      const auto sample = static_cast<std::int16_t>(std::lround(value));
      chunk[bytes] = static_cast<unsigned char>(sample & 0xff);
      chunk[bytes + 1] = static_cast<unsigned char>((sample >> 8) & 0xff);
    }
    if (std::fwrite(chunk.data(), 1, bytes, stdout) != bytes) return 0;  // reader went away
  }
  std::fflush(stdout);
  return 0;
}
