// Writes an endless demo signal as raw signed 16-bit little-endian mono at 22050/s to
// standard output: a steady 1 kHz tone over low noise, plus a quieter tone that sweeps from
// 270 Hz to 2700 Hz and back every 40 s. A consumer that plays it in real time (pacat into a
// null sink) clocks it.
//
//   quorvane-demo-signal [--seconds N [--wav]] [--counter]
//
// With --wav the output is a WAV file of that length instead of raw samples. With --counter
// sample n is n - 32768 modulo 65536, so a recording of it tells exactly which samples it
// holds and which went missing between two recordings.

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

void PutLittleEndian(std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) std::putchar(static_cast<int>((value >> (8 * i)) & 0xff));
}

// A canonical 44-byte header: PCM, mono, 16-bit, 22050/s.
void WriteWavHeader(std::uint32_t samples) {
  const std::uint32_t data_bytes = samples * 2;
  std::fputs("RIFF", stdout);
  PutLittleEndian(36 + data_bytes, 4);
  std::fputs("WAVEfmt ", stdout);
  PutLittleEndian(16, 4);
  PutLittleEndian(1, 2);  // PCM
  PutLittleEndian(1, 2);  // mono
  PutLittleEndian(static_cast<std::uint32_t>(kRate), 4);
  PutLittleEndian(static_cast<std::uint32_t>(kRate) * 2, 4);
  PutLittleEndian(2, 2);
  PutLittleEndian(16, 2);
  std::fputs("data", stdout);
  PutLittleEndian(data_bytes, 4);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = -1;  // endless
  bool wav = false;
  bool counter = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--wav") == 0) {
      wav = true;
    } else if (std::strcmp(argv[i], "--counter") == 0) {
      counter = true;
    } else {
      seconds = -2;
      break;
    }
  }
  if (seconds < -1 || (wav && seconds < 0)) {
    std::fprintf(stderr, "usage: quorvane-demo-signal [--seconds N [--wav]] [--counter]\n");
    return 2;
  }
  std::mt19937 random(1);
  std::normal_distribution<double> noise(0, 60);
  std::vector<unsigned char> chunk(2 * 1024);
  double sweep_phase = 0;
  const long long total = seconds < 0 ? -1 : static_cast<long long>(seconds * kRate);
  if (wav) WriteWavHeader(static_cast<std::uint32_t>(total));
  for (long long n = 0; total < 0 || n < total;) {
    std::size_t bytes = 0;
    for (; bytes < chunk.size() && (total < 0 || n < total); bytes += 2, ++n) {
      const double t = n / kRate;
      // Triangle between the sweep's ends, so the trace walks across the whole axis.
      const double position = std::fmod(t / kSweepPeriodSeconds, 1.0);
      const double fraction = position < 0.5 ? 2 * position : 2 - 2 * position;
      const double sweep_hz = kSweepLow * std::pow(kSweepHigh / kSweepLow, fraction);
      sweep_phase = std::fmod(sweep_phase + kTwoPi * sweep_hz / kRate, kTwoPi);
      const double value =
          6000 * std::sin(kTwoPi * 1000 * t) + 1500 * std::sin(sweep_phase) + noise(random);
      const auto sample = counter ? static_cast<std::int16_t>((n & 0xffff) - 32768)
                                  : static_cast<std::int16_t>(std::lround(value));
      chunk[bytes] = static_cast<unsigned char>(sample & 0xff);
      chunk[bytes + 1] = static_cast<unsigned char>((sample >> 8) & 0xff);
    }
    if (std::fwrite(chunk.data(), 1, bytes, stdout) != bytes) return 0;  // reader went away
  }
  std::fflush(stdout);
  return 0;
}
