// Speed of each build of the transform beside FFTW's double-precision in-place complex forward
// transform, on the same split real and imaginary arrays in the same run, of one whole block
// of analysis, and of drawing a block's grid and trace.
//
//   build/bench/analysis_bench [--benchmark_filter=...]
//
// Each transform runs 15 rounds at N = 1024, 8192 and 16384, interleaved at random with the
// others; after the table come the ratios of each build's best round to FFTW's best on the
// same split arrays, e.g. "FFT avx2 / FFTW at N=8192: 0.97", then to FFTW's on its own
// interleaved layout.

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

const char* BuildName(FFTBuild build) {
  switch (build) {
    case FFTBuild::kPlain:
      return "plain";
    case FFTBuild::kAvx2:
      return "avx2";
    case FFTBuild::kAvx512:
      return "avx512";
  }
  return "?";
}

// One build of our transform on the analyser's own arrays, which keep the two a non-multiple
// of 4 KiB apart.
void BM_FFT(benchmark::State& bench, FFTBuild build) {
  const int n = static_cast<int>(bench.range(0));
  auto state = std::make_unique<AnalyserState>();
  double* re = state->dblReal.data();
  double* im = state->dblImag.data();
  TimeTransform(
      bench, [&] { LoadSignal(re, im, n); },
      [&] {
        FFT(build, static_cast<std::int16_t>(n), {re, SampleArray::size()},
            {im, SampleArray::size()});
        benchmark::DoNotOptimize(re[1]);
      });
}

std::string FFTName(FFTBuild build) {
  return std::string("BM_FFT_") + BuildName(build);
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
// measuring. A split plan always computes the forward transform.
void BM_FFTW(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  auto state = std::make_unique<AnalyserState>();
  double* re = state->dblReal.data();
  double* im = state->dblImag.data();
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

// The same transform on two page-aligned arrays, an exact multiple of 4 KiB apart.
void BM_FFT_PageAlignedArrays(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  struct Free {
    void operator()(double* p) const { std::free(p); }
  };
  std::unique_ptr<double, Free> re(static_cast<double*>(std::aligned_alloc(4096, 16384 * 8)));
  std::unique_ptr<double, Free> im(static_cast<double*>(std::aligned_alloc(4096, 16384 * 8)));
  TimeTransform(
      bench, [&] { LoadSignal(re.get(), im.get(), n); },
      [&] {
        FFT(static_cast<std::int16_t>(n), {re.get(), 16384}, {im.get(), 16384});
        benchmark::DoNotOptimize(re.get()[1]);
      });
}
BENCHMARK(BM_FFT_PageAlignedArrays)->Arg(8192)->UseManualTime();

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
  void PrintRatios() const {
    for (const char* reference : {"BM_FFTW", "BM_FFTW_Interleaved"}) {
      for (FFTBuild build : kBuilds) {
        for (int n : kLengths) {
          const auto ours = best_.find(FFTName(build) + "/" + std::to_string(n));
          const auto fftw = best_.find(std::string(reference) + "/" + std::to_string(n));
          if (ours == best_.end() || fftw == best_.end()) continue;
          std::printf("FFT %s / FFTW%s at N=%d: %.2f\n", BuildName(build),
                      reference == std::string("BM_FFTW") ? "" : " interleaved", n,
                      ours->second / fftw->second);
        }
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
    Rounds(benchmark::RegisterBenchmark(FFTName(build).c_str(), BM_FFT, build));
  }
  Rounds(benchmark::RegisterBenchmark("BM_FFTW", BM_FFTW));
  Rounds(benchmark::RegisterBenchmark("BM_FFTW_Interleaved", BM_FFTW_Interleaved));

  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
