// Writes an endless demo signal as raw signed 16-bit little-endian mono at 22050/s to
// standard output: a steady 1 kHz tone over low noise, plus a quieter tone that sweeps from
// 270 Hz to 2700 Hz and back every 40 s. A consumer that plays it in real time (pacat into a
// null sink) clocks it.
//
//   quorvane-demo-signal [--seconds N [--wav]] [--counter | --steady]
//
// With --wav the output is a WAV file of that length instead of raw samples. With --counter
// sample n is n - 32768 modulo 65536, so a recording of it tells exactly which samples it
// holds and which went missing between two recordings. With --steady the signal is the same
// every block the analyser takes, a quiet voice-like spectrum over a clean background (for
// pictures: the trace stands still and the signal figure reads far below zero).

#include <algorithm>
#include <cmath>
#include <complex>
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

// The analyser's block length, and its noise reference bin: 3296 of 8192 (8874 Hz).
constexpr int kBlock = 8192;
constexpr int kNoiseBin = 3296;
static_assert(kNoiseBin * 256 == 103 * kBlock);

// One period of the steady signal, 8192 samples long, so that every block the analyser takes
// holds the same spectrum whatever sample it starts at. Lines on every bin of 260..2720 Hz
// follow a falling slope with three resonances; the noise reference bin is held about 140 dB
// below full scale, far under the rounding to 16 bits that fills every other bin.
std::vector<std::int16_t> SteadyPeriod() {
  std::mt19937 random(2);
  std::uniform_real_distribution<double> unit(0, 1);
  const auto bump = [](double hz, double centre, double width) {
    return std::exp(-(hz - centre) * (hz - centre) / (width * width));
  };
  std::vector<double> value(kBlock);
  for (int bin = 97; bin <= 1011; ++bin) {
    const double hz = bin * kRate / kBlock;
    const double db = -2 - 3 * std::log2(hz / 270) + 16 * bump(hz, 700, 150) +
                      11 * bump(hz, 1250, 220) + 8 * bump(hz, 2300, 260) + 2 * unit(random) - 1;
    // A line of amplitude a (in sample steps) gives the bin a magnitude of a * 4096 / 32768.
    const double amplitude = std::pow(10, db / 20) * 8;
    const double phase = kTwoPi * unit(random);
    for (int n = 0; n < kBlock; ++n)
      value[n] += amplitude * std::cos(kTwoPi * ((bin * n) % kBlock) / kBlock + phase);
  }
  // Bin 3296 turns sample n by 103 n / 256 of a turn: samples fall into 256 classes by
  // direction. Small changes to a few samples, chosen greedily, cancel what rounding left there.
  const auto turn = [](int step) { return std::polar(1.0, -kTwoPi * (step & 255) / 256); };
  std::vector<std::int16_t> period(kBlock);
  std::complex<double> line = 0;
  for (int n = 0; n < kBlock; ++n) {
    period[n] = static_cast<std::int16_t>(std::lround(value[n]));
    line += static_cast<double>(period[n]) * turn(103 * n);
  }
  struct Change {
    std::complex<double> effect;
    int first_class, spacing, a, b, c;  // a at first_class, b one spacing on, c two on
  };
  std::vector<Change> changes;
  for (int j = 0; j < 256; ++j) {
    for (int sign : {1, -1}) {
      const double by = sign;
      changes.push_back({by * turn(j), j, 1, sign, 0, 0});
      changes.push_back(
          {by * (turn(j) - 2.0 * turn(j + 1) + turn(j + 2)), j, 1, sign, -2 * sign, sign});
      for (int d = 1; d <= 128; ++d)
        changes.push_back({by * (turn(j) - turn(j + d)), j, d, sign, -sign, 0});
    }
  }
  for (int used = 0;; ++used) {
    const auto best = std::min_element(changes.begin(), changes.end(), [&](auto& x, auto& y) {
      return std::abs(line + x.effect) < std::abs(line + y.effect);
    });
    if (std::abs(line + best->effect) >= std::abs(line)) break;
    line += best->effect;
    // Class j's samples are n = 87 j (mod 256), 87 being 103's inverse; spread over them.
    const auto nudge = [&](int j, int by) {
      period[(87 * (j & 255)) % 256 + 256 * (used % 32)] += static_cast<std::int16_t>(by);
    };
    nudge(best->first_class, best->a);
    nudge(best->first_class + best->spacing, best->b);
    nudge(best->first_class + 2 * best->spacing, best->c);
  }
  return period;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = -1;  // endless
  bool wav = false;
  bool counter = false;
  bool steady = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--wav") == 0) {
      wav = true;
    } else if (std::strcmp(argv[i], "--counter") == 0) {
      counter = true;
    } else if (std::strcmp(argv[i], "--steady") == 0) {
      steady = true;
    } else {
      seconds = -2;
      break;
    }
  }
  if (seconds < -1 || (wav && seconds < 0) || (counter && steady)) {
    std::fprintf(stderr,
                 "usage: quorvane-demo-signal [--seconds N [--wav]] [--counter | --steady]\n");
    return 2;
  }
  const std::vector<std::int16_t> steady_period =
      steady ? SteadyPeriod() : std::vector<std::int16_t>{};
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
      const auto sample = counter  ? static_cast<std::int16_t>((n & 0xffff) - 32768)
                          : steady ? steady_period[n % kBlock]
                                   : static_cast<std::int16_t>(std::lround(value));
      chunk[bytes] = static_cast<unsigned char>(sample & 0xff);
      chunk[bytes + 1] = static_cast<unsigned char>((sample >> 8) & 0xff);
    }
    if (std::fwrite(chunk.data(), 1, bytes, stdout) != bytes) return 0;  // reader went away
  }
  std::fflush(stdout);
  return 0;
}
