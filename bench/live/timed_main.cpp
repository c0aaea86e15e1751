// The analyser with a probe that writes its timings, for bench/live/measure-live alone: the
// shipped quorvane-spectrum keeps no log.
//
// QUORVANE_TIMINGS_FILE   where the lines go
// QUORVANE_TIMINGS_T0_NS  CLOCK_REALTIME in ns when the measuring script started the process
//
// Lines: "grid MS" (start to the first grid drawn) and, per block, "block DONE_NS SHOWN_NS
// FIRST LAST" (monotonic times of the tick that saw the done bit and of the spectrum drawn,
// and the block's first and last sample values).

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "apps/spectrum/form1.h"

namespace {

using namespace quorvane;

long long NowNs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

int SampleAt(const Analyser& analyser, Long index) {
  double value = 0;
  GetSample(analyser.Capture(), index, value);
  return static_cast<int>(value * 32768);
}

class TimingProbe : public CycleProbe {
 public:
  TimingProbe(std::FILE* out, long long t0) : out_(out), t0_(t0) {}

  void GridDrawnAtStartUp(const Analyser&) override {
    std::fprintf(out_, "grid %.3f\n", (NowNs(CLOCK_REALTIME) - t0_) / 1e6);
    std::fflush(out_);
  }
  void BlockDone(const Analyser& analyser) override {
    done_ns_ = NowNs(CLOCK_MONOTONIC);
    first_ = SampleAt(analyser, 0);
    last_ = SampleAt(analyser, 8191);
  }
  void BlockShown(const Analyser&) override {
    std::fprintf(out_, "block %lld %lld %d %d\n", done_ns_, NowNs(CLOCK_MONOTONIC), first_, last_);
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  long long t0_;
  long long done_ns_ = 0;
  int first_ = 0;
  int last_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* path = std::getenv("QUORVANE_TIMINGS_FILE");
  const char* t0 = std::getenv("QUORVANE_TIMINGS_T0_NS");
  std::FILE* out = path ? std::fopen(path, "w") : nullptr;
  if (!out) {
    std::fprintf(stderr, "quorvane-spectrum-timed: set QUORVANE_TIMINGS_FILE to a writable file\n");
    return 2;
  }
  QApplication application(argc, argv);
  SetApplicationTitle();
  Form1 form;
  TimingProbe probe(out, t0 ? std::atoll(t0) : NowNs(CLOCK_REALTIME));
  form.analyser().SetProbe(&probe);
  form.show();
  const int result = application.exec();
  std::fclose(out);
  return result;
}
