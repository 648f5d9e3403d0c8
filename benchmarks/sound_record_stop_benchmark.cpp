// How long SoundRecordStop takes on the ALSA device while a recording runs:
// the capture thread is told to stop, joined, and the PCM dropped and
// closed. Runs on the file-backed "default" of the tests, so no sound
// hardware is needed.
#include <benchmark/benchmark.h>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "tests/alsa_test_config.h"

namespace {

void SoundRecordStopWhileRecording(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    SoundRecordStart();
    // Under way: the capture thread has delivered at least one period.
    while (mirn::BytesRecorded() == 0) {
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(SoundRecordStop());
  }
}
BENCHMARK(SoundRecordStopWhileRecording)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const mirn::test::AlsaTestConfig config;  // before the first ALSA call
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
