// Speed of the transform and of one whole block of analysis, beside FFTW's double-precision
// in-place complex forward transform measured in the same run.
//
//   build/bench/analysis_bench [--benchmark_filter=...]
//
// After the table it prints, per length, the ratio of our FFT's time to FFTW's (the medians
// when run with --benchmark_repetitions).

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/analyser_state.h"
#include "display/trace.h"
#include "dsp/fft.h"
#include "dsp/frame.h"
#include "dsp/levels.h"

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

// Both arrays inside the analyser state, which keeps them apart by a non-multiple of 4 KiB.
void BM_FFT(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  auto state = std::make_unique<AnalyserState>();
  double* re = state->dblReal.data();
  double* im = state->dblImag.data();
  TimeTransform(
      bench, [&] { LoadSignal(re, im, n); },
      [&] {
        FFT(static_cast<std::int16_t>(n), {re, SampleArray::size()}, {im, SampleArray::size()});
        benchmark::DoNotOptimize(re[1]);
      });
}
BENCHMARK(BM_FFT)->Arg(1024)->Arg(8192)->Arg(16384)->UseManualTime();

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

void BM_FFTW(benchmark::State& bench) {
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
BENCHMARK(BM_FFTW)->Arg(1024)->Arg(8192)->Arg(16384)->UseManualTime();

// One block as the acquisition cycle runs it: load 8192 samples, transform, level pass,
// trace mapping.
void BM_WholeBlock(benchmark::State& bench) {
  auto state = std::make_unique<AnalyserState>();
  std::string rate;
  Long bytes = 0;
  SetReferenceStartValues(*state);
  SetAnalysisStartValues(*state, rate, bytes);
  const auto samples = TestSignal(8192);
  const auto reader = [&samples](Long i, double& out) { out = samples[i] / 32768.0; };
  for (auto _ : bench) {
    LoadFrame(state->dblFFTSize, reader, state->dblSample, state->dblReal, state->dblImag);
    LevelPass(state->dblFFTSize, state->dblReal, state->dblImag, state->dblLevel, state->sngMax,
              state->intPeakFreq, state->sngNoise);
    CalcTrace(state->BinCount(), state->Axis(), state->dblLevel, state->dblTraceX,
              state->dblTraceY);
    benchmark::DoNotOptimize(state->dblTraceY[0]);
  }
}
BENCHMARK(BM_WholeBlock);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Keyed by name and argument; with repetitions, the median is kept.
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string key = run.run_name.function_name + "/" + run.run_name.args;
      if (run.run_type == Run::RT_Iteration && !medians_.contains(key)) {
        times_[key] = run.GetAdjustedRealTime();
      } else if (run.aggregate_name == "median") {
        times_[key] = run.GetAdjustedRealTime();
        medians_.insert(key);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    for (int n : {1024, 8192, 16384}) {
      const auto ours = times_.find("BM_FFT/" + std::to_string(n));
      const auto fftw = times_.find("BM_FFTW/" + std::to_string(n));
      if (ours != times_.end() && fftw != times_.end()) {
        std::printf("FFT / FFTW at N=%d: %.2f\n", n, ours->second / fftw->second);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
