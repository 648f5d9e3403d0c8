// The exports' latency through a real sound server (a private PulseAudio
// server, ALSA's "default" on it), warm (a PCM at the rate kept from an
// earlier stream) and cold (none kept), beside the floor of a bare ALSA open
// in the same run; then the CPU of a recording beside arecord's, and a
// thousand plays in a row. Prints p50/p99 of each and the ratios that matter.
// Run by scripts/benchmark.sh, not by ctest.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <alsa/asoundlib.h>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "tests/alsa_test_config.h"
#include "tests/pulse_test_server.h"
#include "wave_service/alsa/alsa_device.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace ws = wave_service;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Figures {
  double p50 = 0;  // microseconds
  double p99 = 0;
};
std::map<std::string, Figures>& Results() {
  static std::map<std::string, Figures> results;
  return results;
}

mirn::test::PulseTestServer& Server() {
  static mirn::test::PulseTestServer server;
  return server;
}
// Keeps PCMs as the library does by default.
ws::AlsaDevice& Warm() {
  static ws::AlsaDevice device;
  return device;
}
// Keeps none: every open is a first open.
ws::AlsaDevice& Cold() {
  static ws::AlsaDevice device{ws::AlsaDevice::KeepTimes{milliseconds(0), milliseconds(0)}};
  return device;
}

void Pause(int millis) { std::this_thread::sleep_for(milliseconds(millis)); }

// Loads `size` bytes a little off silence into the store.
void Load(std::uint32_t size) {
  std::string bytes(52 + size, '\x90');
  for (int i = 0; i < 4; ++i) bytes[48 + i] = static_cast<char>(size >> (8 * i));
  const fs::path take = Server().dir() / "take.wav";
  std::ofstream(take, std::ios::binary) << bytes;
  const std::string path = take.string();
  const std::u16string wide(path.begin(), path.end());
  SoundRecordLoad(SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size())));
}

// Times `call` once an iteration, with `before` and `after` outside the
// timing, and keeps the median and the 99th percentile under `key`.
template <class Before, class Call, class After>
void Measure(benchmark::State& state, const std::string& key, Before before, Call call,
             After after) {
  std::vector<double> micros;
  for (auto _ : state) {
    before();
    const auto start = Clock::now();
    call();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    micros.push_back(seconds * 1e6);
    after();
  }
  std::ranges::sort(micros);
  const std::size_t n = micros.size();
  Figures figures{micros[n / 2], micros[std::min(n - 1, static_cast<std::size_t>(std::ceil(0.99 * n)) - 1)]};
  state.counters["p50_us"] = figures.p50;
  state.counters["p99_us"] = figures.p99;
  Results()[key] = figures;
}

void Nothing() {}

// ---------------------------------------------------------------------------
// The floor: one bare open of "default" at a rate, set up as the device sets
// it up, and prepared.
// ---------------------------------------------------------------------------

int BareOpen(snd_pcm_t** pcm, bool capture, unsigned rate) {
  int err = snd_pcm_open(pcm, "default", capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0) return err;
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned period = capture ? 125'000 : 20'000;
  unsigned buffer = 4 * period;
  snd_pcm_hw_params_any(*pcm, hw);
  snd_pcm_hw_params_set_rate_resample(*pcm, hw, 1);
  snd_pcm_hw_params_set_access(*pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  snd_pcm_hw_params_set_format(*pcm, hw, SND_PCM_FORMAT_U8);
  snd_pcm_hw_params_set_channels(*pcm, hw, 1);
  snd_pcm_hw_params_set_rate(*pcm, hw, rate, 0);
  snd_pcm_hw_params_set_buffer_time_near(*pcm, hw, &buffer, nullptr);
  snd_pcm_hw_params_set_period_time_near(*pcm, hw, &period, nullptr);
  if ((err = snd_pcm_hw_params(*pcm, hw)) < 0) return err;
  snd_pcm_uframes_t frames = 0;
  snd_pcm_hw_params_get_period_size(hw, &frames, nullptr);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  snd_pcm_sw_params_current(*pcm, sw);
  snd_pcm_sw_params_set_start_threshold(*pcm, sw, 1);
  snd_pcm_sw_params_set_avail_min(*pcm, sw, frames);
  if ((err = snd_pcm_sw_params(*pcm, sw)) < 0) return err;
  return snd_pcm_prepare(*pcm);
}

// Rates first opened by the cold-open benchmarks and by the floor alike.
unsigned ColdRate(bool capture, std::int64_t i) { return (capture ? 9001 : 20001) + 37 * i; }

void Floor(benchmark::State& state, bool capture) {
  std::int64_t i = 0;
  snd_pcm_t* pcm = nullptr;
  Measure(
      state, capture ? "floor input" : "floor output", Nothing,
      [&] { benchmark::DoNotOptimize(BareOpen(&pcm, capture, ColdRate(capture, i++))); },
      [&] {
        snd_pcm_close(pcm);
        pcm = nullptr;
      });
}

// A first open at a rate through the service, as the floor's: with nothing
// else open (no PCM of the device's closing in the background meanwhile).
void FirstOpen(benchmark::State& state, bool capture) {
  Cold().Install();
  std::int64_t i = 0;
  ws::Handle handle = 0;
  Measure(
      state, capture ? "first open input" : "first open output", Nothing,
      [&] {
        const unsigned rate = ColdRate(capture, i++);
        const ws::WaveFormat format{ws::kFormatPcm, 1, rate, rate, 0, 8, 0};
        benchmark::DoNotOptimize((capture ? ws::InputOpen : ws::OutputOpen)(
            &handle, ws::kAnyDevice, &format, 0, 0, 0));
      },
      [&] {
        (capture ? ws::InputClose : ws::OutputClose)(handle);
        while (Cold().HeldPcms(capture ? ws::Direction::kInput : ws::Direction::kOutput) > 0) {
          Pause(1);
        }
      });
}

// ---------------------------------------------------------------------------
// The exports.
// ---------------------------------------------------------------------------

ws::AlsaDevice& DeviceFor(bool warm) { return warm ? Warm() : Cold(); }

// Idle: no recording runs; warm, the last one stopped a moment ago.
void Start(benchmark::State& state, bool warm) {
  ws::AlsaDevice& device = DeviceFor(warm);
  device.Install();
  SoundRecordStart();
  SoundRecordStop();
  Measure(
      state, std::string("SoundRecordStart ") + (warm ? "warm" : "cold"), Nothing,
      [] { benchmark::DoNotOptimize(SoundRecordStart()); },
      [&] {
        SoundRecordStop();
        if (warm) {
          Pause(20);  // idle, well within the input's keep time
        } else {
          while (device.HeldPcms(ws::Direction::kInput) > 0) Pause(1);
        }
      });
}

void Stop(benchmark::State& state, bool warm) {
  DeviceFor(warm).Install();
  Measure(
      state, std::string("SoundRecordStop ") + (warm ? "warm" : "cold"),
      [] {
        SoundRecordStart();
        while (mirn::BytesRecorded() == 0) Pause(1);  // under way
      },
      [] { benchmark::DoNotOptimize(SoundRecordStop()); }, Nothing);
}

// Each play short, and over before the next, which finds its PCMs kept
// (warm) or closed (cold).
template <class Call>
void Plays(benchmark::State& state, bool warm, const std::string& name, Call call) {
  ws::AlsaDevice& device = DeviceFor(warm);
  device.Install();
  Load(400);  // 50 ms at 8000/s
  call();
  auto over = [&] {
    while (device.Playing()) Pause(1);
    if (!warm) {
      ws::OutputClose(mirn::g_sound_state.OutputHandle);
      while (device.HeldOutputs() > 0) Pause(1);
    }
  };
  over();
  Measure(state, name + (warm ? " warm" : " cold"), Nothing, call, over);
}

void Play(benchmark::State& state, bool warm) {
  Plays(state, warm, "SoundRecordPlay(8000)", [] { benchmark::DoNotOptimize(SoundRecordPlay(8000)); });
}

void Tone(benchmark::State& state, bool warm) {
  Plays(state, warm, "ToneCreate(5512)", [] { benchmark::DoNotOptimize(ToneCreate(5512)); });
}

// Plays of 1.25 s back to back: each cuts short a closed one past the bound.
void PlaysInARow(benchmark::State& state) {
  Warm().Install();
  Load(10'000);
  Measure(state, "SoundRecordPlay(8000) in a row", Nothing,
          [] { benchmark::DoNotOptimize(SoundRecordPlay(8000)); }, Nothing);
}

constexpr int kCalls = 200;
constexpr int kFirstOpens = 100;

BENCHMARK_CAPTURE(Floor, output, false)->Iterations(kFirstOpens)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FirstOpen, output, false)->Iterations(kFirstOpens)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Floor, input, true)->Iterations(kFirstOpens)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FirstOpen, input, true)->Iterations(kFirstOpens)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Start, warm, true)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Start, cold, false)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Stop, warm, true)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Stop, cold, false)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Play, warm, true)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Play, cold, false)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Tone, warm, true)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Tone, cold, false)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PlaysInARow)->Iterations(kCalls)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// CPU of a recording beside arecord's, and a thousand plays in a row.
// ---------------------------------------------------------------------------

struct Cpu {
  double seconds = 0;
  long switches = 0;
};

Cpu Usage(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw + usage.ru_nivcsw};
}

// A child process's CPU and context switches, from its start to its end.
// Both recordings run as children, so the test server's feeder thread in
// this process counts for neither.
Cpu Child(const char* program, const char* const* argv) {
  const Cpu before = Usage(RUSAGE_CHILDREN);
  pid_t child = 0;
  if (posix_spawnp(&child, program, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return {};
  }
  waitpid(child, nullptr, 0);
  const Cpu after = Usage(RUSAGE_CHILDREN);
  return {after.seconds - before.seconds, after.switches - before.switches};
}

Cpu Arecord(int seconds) {
  const std::string duration = std::to_string(seconds);
  const std::string out = (Server().dir() / "arecord.raw").string();
  const char* argv[] = {"arecord", "-q", "-f", "U8", "-r", "8000", "-c", "1", "-t", "raw",
                        "-d", duration.c_str(), out.c_str(), nullptr};
  return Child("arecord", argv);
}

constexpr const char* kRecordChild = "--record-child";

// The library's recording, in a child process of this program.
Cpu Recording(int seconds) {
  const std::string duration = std::to_string(seconds);
  const char* argv[] = {"sound_server_benchmark", kRecordChild, duration.c_str(), nullptr};
  return Child("/proc/self/exe", argv);
}

// In the child: records for `seconds` through the library's own device.
int RecordChild(int seconds) {
  SoundRecordStart();
  Pause(seconds * 1000);
  SoundRecordStop();
  return mirn::BytesRecorded() > 0 ? 0 : 1;
}

void ThousandPlays() {
  Warm().Install();
  Load(10'000);
  int threes = 0, threads = 0, fds = 0, clients = 0;
  for (int i = 0; i < 1000; ++i) {
    threes += SoundRecordPlay(8000) == 3;
    threads = std::max(threads, mirn::test::CountEntries("/proc/self/task"));
    fds = std::max(fds, mirn::test::CountEntries("/proc/self/fd"));
    if (i % 100 == 99) clients = std::max(clients, Server().Clients());
  }
  std::printf("1000 plays in a row of a 1.25 s recording: %d return 3; at most %d threads, "
              "%d fds, %d server connections in the process\n",
              threes, threads, fds, clients);
}

void Row(const char* what, const Figures& f, double limit_us) {
  std::printf("%-34s p50 %8.1f us  p99 %8.1f us  (p99 must be < %.0f us: %s)\n", what, f.p50,
              f.p99, limit_us, f.p99 < limit_us ? "met" : "NOT met");
}

void Summary(const Cpu& ours, const Cpu& arecord, int seconds) {
  auto& r = Results();
  std::printf("\n== Summary (this run)\n");
  for (const char* name : {"SoundRecordStart", "SoundRecordPlay(8000)", "ToneCreate(5512)"}) {
    const std::string key(name);
    Row((key + " warm").c_str(), r[key + " warm"], 1000);
    std::printf("%-34s p50 %8.1f us  p99 %8.1f us\n", (key + " cold").c_str(), r[key + " cold"].p50,
                r[key + " cold"].p99);
  }
  Row("SoundRecordStop warm", r["SoundRecordStop warm"], 200);
  Row("SoundRecordStop cold", r["SoundRecordStop cold"], 200);
  std::printf("%-34s p50 %8.1f us  p99 %8.1f us\n", "SoundRecordPlay(8000) in a row",
              r["SoundRecordPlay(8000) in a row"].p50, r["SoundRecordPlay(8000) in a row"].p99);
  for (const char* direction : {"output", "input"}) {
    const Figures first = r[std::string("first open ") + direction];
    const Figures floor = r[std::string("floor ") + direction];
    const double ratio = first.p50 / floor.p50;
    std::printf("first open (%s): p50 %.1f us / bare open p50 %.1f us = %.2fx (must be <= 1.10: %s)"
                "; p99 %.1f / %.1f us\n",
                direction, first.p50, floor.p50, ratio, ratio <= 1.10 ? "met" : "NOT met", first.p99,
                floor.p99);
  }
  const double cpu = ours.seconds / arecord.seconds;
  const double switches = static_cast<double>(ours.switches) / static_cast<double>(arecord.switches);
  std::printf("%d s recording, all threads: CPU %.3f s vs arecord %.3f s = %.2fx (must be <= 1: %s);"
              " context switches %ld vs %ld = %.2fx\n",
              seconds, ours.seconds, arecord.seconds, cpu, cpu <= 1.0 ? "met" : "NOT met",
              ours.switches, arecord.switches, switches);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kRecordChild) return RecordChild(std::atoi(argv[2]));
  if (!Server().ok()) {  // before the first ALSA call
    std::fprintf(stderr, "%s\n", Server().error().c_str());
    return 1;
  }
  int seconds = 20;
  if (const char* env = std::getenv("MIRN_BENCH_RECORD_SECONDS")) seconds = std::atoi(env);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Back to back on the same server, before anything else holds a PCM.
  const Cpu arecord = Arecord(seconds);
  const Cpu ours = Recording(seconds);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ThousandPlays();
  Summary(ours, arecord, seconds);
  return 0;
}
