// Speed of each build of the transform beside FFTW's double-precision in-place complex forward
// transform, on the same split real and imaginary arrays in the same run, of one whole block
// of analysis, and of drawing a block's grid and trace.
//
//   build/bench/analysis_bench [--benchmark_filter=...]
//
// Each transform runs 15 rounds at N = 1024, 8192 and 16384 on each placement of its two
// arrays (the analyser's own, two vectors, one pool at several distances, starts off the
// vector alignment), interleaved at random with the others; FFTW runs on the same arrays.
// After the table come, per build and length, the worst placement's ratio of the build's best
// round to FFTW's best on the same arrays, the analyser's own, then each placement's, e.g.
// "FFT avx2 / FFTW at N=8192: worst 0.97 (pool+0), analyser's arrays 0.84; ..."; then the
// same against FFTW on its own interleaved layout.

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analyser/analyser_state.h"
#include "display/plot_drawing.h"
#include "display/trace.h"
#include "dsp/fft.h"
#include "dsp/fine_frequency.h"
#include "dsp/frame.h"
#include "dsp/levels.h"
#include "tests/core/analyser/started_state.h"

namespace {

using namespace quorvane;

std::vector<std::int16_t> TestSignal(std::size_t n) {
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 300);
  std::vector<std::int16_t> samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(8000 * std::sin(i * 0.2848) + noise(random));
  }
  return samples;
}

// The same fractions of full scale that a block loads, made once.
const std::vector<double>& TestFractions() {
  static const std::vector<double> fractions = [] {
    const auto samples = TestSignal(16384);
    return std::vector<double>(samples.begin(), samples.end());
  }();
  return fractions;
}

void LoadSignal(double* re, double* im, int n) {
  const std::vector<double>& fractions = TestFractions();
  for (int i = 0; i < n; ++i) {
    re[i] = fractions[i] / 32768.0;
    im[i] = 0;
  }
}

// Times the transform alone: the input is refilled before each run, outside the timing, and
// the clock is read around the call only (pausing the benchmark's timers costs more than a
// short transform).
template <typename Load, typename Run>
void TimeTransform(benchmark::State& bench, Load load, Run run) {
  for (auto _ : bench) {
    load();
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto stop = std::chrono::steady_clock::now();
    bench.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
}

constexpr FFTBuild kBuilds[] = {FFTBuild::kPlain, FFTBuild::kAvx2, FFTBuild::kAvx512};
constexpr int kLengths[] = {1024, 8192, 16384};
constexpr int kRounds = 15;
const char* const kBest = "best";

// Where the caller keeps the two arrays: the transform's speed must not hang on it. The
// analyser's own arrays keep them half a page apart; two vectors, or one pool with the
// imaginary part at a given distance after the real part, are what other callers pass. An
// exact multiple of 4 KiB apart and starts off the cache line are the awkward cases.
struct Placement {
  const char* name;
  enum { kAnalyser, kVectors, kPool } where;
  int re_at;   // pool only: doubles from the pool's page-aligned start to the real part
  int im_gap;  // pool only: doubles between the end of the real part and the imaginary part
};
constexpr Placement kPlacements[] = {
    {"analyser", Placement::kAnalyser, 0, 0}, {"vectors", Placement::kVectors, 0, 0},
    {"pool+0", Placement::kPool, 0, 0},       {"pool+8", Placement::kPool, 0, 8},
    {"pool+64", Placement::kPool, 0, 64},     {"pool+520", Placement::kPool, 0, 520},
    {"unaligned", Placement::kPool, 1, 3},
};

// The two arrays of n doubles as a placement lays them out.
class PlacedArrays {
 public:
  PlacedArrays(const Placement& placement, int n) {
    switch (placement.where) {
      case Placement::kAnalyser:
        state_ = std::make_unique<AnalyserState>();
        re_ = state_->dblReal.data();
        im_ = state_->dblImag.data();
        break;
      case Placement::kVectors:
        first_.resize(n);
        second_.resize(n);
        re_ = first_.data();
        im_ = second_.data();
        break;
      case Placement::kPool: {
        const std::size_t doubles = placement.re_at + 2 * n + placement.im_gap;
        const std::size_t bytes = (doubles * sizeof(double) + 4095) / 4096 * 4096;
        pool_.reset(static_cast<double*>(std::aligned_alloc(4096, bytes)));
        re_ = pool_.get() + placement.re_at;
        im_ = re_ + n + placement.im_gap;
        break;
      }
    }
  }
  double* re() const { return re_; }
  double* im() const { return im_; }

 private:
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::unique_ptr<AnalyserState> state_;
  std::vector<double> first_, second_;
  std::unique_ptr<double, Free> pool_;
  double* re_ = nullptr;
  double* im_ = nullptr;
};

// One build of our transform on arrays laid out as `placement` says.
void BM_FFT(benchmark::State& bench, FFTBuild build, Placement placement) {
  const int n = static_cast<int>(bench.range(0));
  const PlacedArrays arrays(placement, n);
  double* re = arrays.re();
  double* im = arrays.im();
  TimeTransform(
      bench, [&] { LoadSignal(re, im, n); },
      [&] {
        FFT(build, static_cast<std::int16_t>(n), {re, static_cast<std::size_t>(n)},
            {im, static_cast<std::size_t>(n)});
        benchmark::DoNotOptimize(re[1]);
      });
}

std::string FFTName(FFTBuild build) {
  return std::string("BM_FFT_") + ToString(build);
}

// A contender's name on one placement, e.g. "BM_FFT_avx2@pool+64".
std::string PlacedName(const std::string& contender, const Placement& placement) {
  return contender + "@" + placement.name;
}

// kRounds rounds, and the fastest counts: on a shared machine the others are too often slowed.
void BestOfRounds(benchmark::internal::Benchmark* bench) {
  bench->MinTime(0.05)
      ->Repetitions(kRounds)
      ->ComputeStatistics(kBest,
                          [](const std::vector<double>& times) {
                            return *std::min_element(times.begin(), times.end());
                          })
      ->DisplayAggregatesOnly(true);
}

// Every contender in the ratio runs its rounds at each length.
void Rounds(benchmark::internal::Benchmark* contender) {
  for (int n : kLengths) contender->Arg(n);
  BestOfRounds(contender->UseManualTime());
}

// FFTW on the very same arrays: split real and imaginary parts, in place, planned by
// measuring on those arrays. A split plan always computes the forward transform.
void BM_FFTW(benchmark::State& bench, Placement placement) {
  const int n = static_cast<int>(bench.range(0));
  const PlacedArrays arrays(placement, n);
  double* re = arrays.re();
  double* im = arrays.im();
  const fftw_iodim dimension{n, 1, 1};
  fftw_plan plan =
      fftw_plan_guru_split_dft(1, &dimension, 0, nullptr, re, im, re, im, FFTW_MEASURE);
  TimeTransform(
      bench, [&] { LoadSignal(re, im, n); },
      [&] {
        fftw_execute(plan);
        benchmark::DoNotOptimize(re[1]);
      });
  fftw_destroy_plan(plan);
}

// FFTW on its own interleaved layout (real, imaginary, real, ...), which its vector code is
// written for: the stricter reference.
void BM_FFTW_Interleaved(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  fftw_complex* data = fftw_alloc_complex(n);
  fftw_plan plan = fftw_plan_dft_1d(n, data, data, FFTW_FORWARD, FFTW_MEASURE);
  const std::vector<double>& fractions = TestFractions();
  TimeTransform(
      bench,
      [&] {
        for (int i = 0; i < n; ++i) {
          data[i][0] = fractions[i] / 32768.0;
          data[i][1] = 0;
        }
      },
      [&] {
        fftw_execute(plan);
        benchmark::DoNotOptimize(data[1][0]);
      });
  fftw_destroy_plan(plan);
  fftw_free(data);
}

// One block as the acquisition cycle runs it: load 8192 samples, transform, level pass,
// trace mapping.
void AnalyseBlock(AnalyserState& state, const std::vector<std::int16_t>& samples) {
  const auto reader = [&samples](Long i, double& out) { out = samples[i] / 32768.0; };
  LoadFrame(state.dblFFTSize, reader, state.dblSample, state.dblReal, state.dblImag);
  LevelPass(state.dblFFTSize, state.dblReal, state.dblImag, state.dblLevel, state.sngMax,
            state.intPeakFreq, state.sngNoise);
  CalcTrace(state.BinCount(), state.Axis(), state.dblLevel, state.dblTraceX, state.dblTraceY);
}

void BM_WholeBlock(benchmark::State& bench) {
  const auto state = test::StartedState();
  const auto samples = TestSignal(8192);
  for (auto _ : bench) {
    AnalyseBlock(*state, samples);
    benchmark::DoNotOptimize(state->dblTraceY[0]);
  }
}
BENCHMARK(BM_WholeBlock);

// What the window draws for each block: the grid, then the trace, on a surface of the
// window's plot size.
void BM_DrawBlock(benchmark::State& bench) {
  const auto state = test::StartedState();
  AnalyseBlock(*state, TestSignal(8192));
  PlotSurface picture(321, 297);
  for (auto _ : bench) {
    DrawGridLines(picture, state->lngBackColor, state->lngGridColor);
    DrawTraceLines(picture, state->dblTraceX, state->dblTraceY, kTraceColor);
    benchmark::DoNotOptimize(picture.Image().constBits());
  }
}
BENCHMARK(BM_DrawBlock)->Apply(BestOfRounds);

// What a file's workers do with a transformed block besides the transform: its own levels, and
// its clear spectral line.
void BM_BlockLevels(benchmark::State& bench) {
  auto state = std::make_unique<AnalyserState>();
  LoadSignal(state->dblReal.data(), state->dblImag.data(), 8192);
  FFT(8192, {state->dblReal.data(), SampleArray::size()}, {state->dblImag.data(), 8192});
  std::vector<double> levels(4097);
  for (auto _ : bench) {
    BlockLevels(8192, {state->dblReal.data(), 8192}, {state->dblImag.data(), 8192}, levels);
    benchmark::DoNotOptimize(levels[1]);
  }
}

void BM_FineFrequency(benchmark::State& bench) {
  auto state = std::make_unique<AnalyserState>();
  LoadSignal(state->dblReal.data(), state->dblImag.data(), 8192);
  FFT(8192, {state->dblReal.data(), SampleArray::size()}, {state->dblImag.data(), 8192});
  for (auto _ : bench) {
    benchmark::DoNotOptimize(
        FineFrequencyBins({state->dblReal.data(), 8192}, {state->dblImag.data(), 8192}));
  }
}

BENCHMARK(BM_BlockLevels)->Apply(BestOfRounds);
BENCHMARK(BM_FineFrequency)->Apply(BestOfRounds);

// Each transform's best round, and its ratio to FFTW's best round at the same length.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == kBest) {
        best_[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Per build and length: the worst placement's ratio, the analyser's own, then each
  // placement's, all to FFTW on the same arrays; then the analyser's arrays and the worst
  // placement against FFTW on its interleaved layout.
  void PrintRatios() const {
    for (FFTBuild build : kBuilds) {
      for (int n : kLengths) {
        const auto best = [&](const std::string& name) {
          const auto found = best_.find(name + "/" + std::to_string(n));
          return found == best_.end() ? 0.0 : found->second;
        };
        std::string each;
        double worst = 0, worst_ours = 0, own = 0;
        const char* worst_name = "";
        for (const Placement& placement : kPlacements) {
          const double ours = best(PlacedName(FFTName(build), placement));
          const double fftw = best(PlacedName("BM_FFTW", placement));
          if (ours == 0 || fftw == 0) continue;
          const double ratio = ours / fftw;
          char text[64];
          std::snprintf(text, sizeof text, "%s%s %.2f", each.empty() ? "" : ", ", placement.name,
                        ratio);
          each += text;
          if (placement.where == Placement::kAnalyser) own = ratio;
          if (ratio > worst) worst = ratio, worst_ours = ours, worst_name = placement.name;
        }
        if (each.empty()) continue;
        std::printf("FFT %s / FFTW at N=%d: worst %.2f (%s), analyser's arrays %.2f; %s\n",
                    ToString(build), n, worst, worst_name, own, each.c_str());
        const double interleaved = best("BM_FFTW_Interleaved");
        if (interleaved == 0) continue;
        std::printf("FFT %s / FFTW interleaved at N=%d: worst placement %.2f, analyser's %.2f\n",
                    ToString(build), n, worst_ours / interleaved,
                    best(PlacedName(FFTName(build), kPlacements[0])) / interleaved);
      }
    }
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  // Rounds interleaved at random, so that a busy spell on a shared machine falls on every
  // contender alike; a flag on the command line still wins.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());

  for (FFTBuild build : kBuilds) {
    if (!Supported(build)) continue;
    for (const Placement& placement : kPlacements) {
      Rounds(benchmark::RegisterBenchmark(PlacedName(FFTName(build), placement).c_str(), BM_FFT,
                                          build, placement));
    }
  }
  for (const Placement& placement : kPlacements) {
    Rounds(
        benchmark::RegisterBenchmark(PlacedName("BM_FFTW", placement).c_str(), BM_FFTW, placement));
  }
  Rounds(benchmark::RegisterBenchmark("BM_FFTW_Interleaved", BM_FFTW_Interleaved));

  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
