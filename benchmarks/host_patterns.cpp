// The calls of a host that paces them a third of a second apart, as the
// hosts of this library do: load an 800-byte file, start a recording, and
// 30 ms later a tone replay, then stop; and plays of that file, idle and
// while recording. Each call's wall time, and the tone replay's CPU time on
// the host's thread beside it: what lies between is time spent waiting.
// The first round of each pattern opens what the later ones find kept, and
// is left out.
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "benchmarks/parts.h"

namespace mirn::bench {

namespace {

constexpr milliseconds kPace{330};
constexpr milliseconds kToneAfterStart{30};

double ThreadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Times `call`: wall into `wall`, the calling thread's CPU into `cpu`, both
// only from the second round on.
template <class Call>
void Timed(int round, std::vector<double>& wall, Call call, std::vector<double>* cpu = nullptr) {
  const double cpu_before = ThreadCpuMicros();
  const auto start = Clock::now();
  call();
  const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  const double cpu_micros = ThreadCpuMicros() - cpu_before;
  if (round == 0) return;
  wall.push_back(micros);
  if (cpu != nullptr) cpu->push_back(cpu_micros);
}

void Report(const std::string& key, const std::vector<double>& micros) {
  const Figures f = Percentiles(micros);
  SetRow(key, f);
  PrintRow(key, f);
}

}  // namespace

void RunHostPatterns(const RunOptions& options) {
  const fs::path file = WriteTake("host800.wav", Bytes(800, 0x90));
  const int rounds = options.host_rounds + 1;
  std::printf("\n== A host pacing its calls %lld ms apart, through %s (%d rounds each)\n",
              static_cast<long long>(kPace.count()), SoundTestServer::Name(Kind()), options.host_rounds);

  std::vector<double> load, start, tone, tone_cpu, stop;
  for (int round = 0; round < rounds; ++round) {
    const auto t = Clock::now();
    AutomationString path = AutomationStringFromUtf8(file.c_str());
    Timed(round, load, [&] { SoundRecordLoad(path); });
    PauseUntil(t + kPace);
    Timed(round, start, [] { SoundRecordStart(); });
    PauseUntil(t + kPace + kToneAfterStart);
    Timed(round, tone, [] { ToneCreate(5512); }, &tone_cpu);
    PauseUntil(t + 2 * kPace + kToneAfterStart);
    Timed(round, stop, [] { SoundRecordStop(); });
    PauseUntil(t + 3 * kPace + kToneAfterStart);
  }
  Report("host Load(800 bytes)", load);
  Report("host SoundRecordStart", start);
  Report("host ToneCreate(5512) 30 ms after Start", tone);
  Report("host ToneCreate(5512) 30 ms after Start, CPU", tone_cpu);
  Report("host SoundRecordStop", stop);

  std::vector<double> idle, recording;
  LoadFile(file);
  for (int round = 0; round < rounds; ++round) {
    Timed(round, idle, [] { SoundRecordPlay(8000); });
    Pause(kPace);
  }
  SoundRecordStart();
  for (int round = 0; round < rounds; ++round) {
    Timed(round, recording, [] { SoundRecordPlay(8000); });
    Pause(kPace);
  }
  SoundRecordStop();
  Report("host SoundRecordPlay(8000) idle", idle);
  Report("host SoundRecordPlay(8000) while recording", recording);
}

}  // namespace mirn::bench
