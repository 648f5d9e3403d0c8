// Each export's latency alone (Google Benchmark): idle, while recording and
// while playing, warm (a PCM at the rate kept from an earlier stream) and
// cold (none kept; for the calls that open a device); plays in a row; each
// call while the server is down and right after it is back; beside the floor
// of a bare ALSA open through the same server in the same run; then the CPU
// of a recording beside arecord's, and a thousand plays in a row.
#include "benchmarks/parts.h"

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "benchmarks/bench_common.h"
#include "library/sound_state.h"
#include "tests/alsa_test_config.h"
#include "wave_service/alsa/alsa_device.h"

extern char** environ;

namespace mirn::bench {

namespace {

namespace ws = wave_service;

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
  const Figures figures = Percentiles(micros);
  state.counters["p50_us"] = figures.p50;
  state.counters["p99_us"] = figures.p99;
  SetRow(key, figures);
}

void Nothing() {}

// ---------------------------------------------------------------------------
// The floor: one bare open of "default" at a rate.
// ---------------------------------------------------------------------------

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
          Pause(milliseconds(1));
        }
      });
}

// ---------------------------------------------------------------------------
// The exports.
// ---------------------------------------------------------------------------

ws::AlsaDevice& DeviceFor(bool warm) { return warm ? Warm() : Cold(); }

// What else runs while a call is timed: nothing, the library's own
// recording, or a long play.
enum class Activity { kIdle, kRecording, kPlaying };
const char* Name(Activity activity) {
  switch (activity) {
    case Activity::kIdle: return "idle";
    case Activity::kRecording: return "while recording";
    case Activity::kPlaying: return "while playing";
  }
  return "";
}

constexpr std::uint32_t kShortPlay = 400;     // 50 ms at 8000/s
constexpr std::uint32_t kLongPlay = 32'000;   // 4 s: goes on through many calls
constexpr milliseconds kLongPlayFresh{3500};  // started again once this old

// Waits (boundedly: a device that never lets go must not stall the run)
// until `done`.
template <class Done>
void Until(Done done, milliseconds limit = milliseconds(3000)) {
  const auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) Pause(milliseconds(1));
}

bool g_recording = false;  // the library's recording runs
Clock::time_point g_long_play_began{};  // the long play's

// Starts the activity again when a call timed has ended it, or it is near
// its end. One play at a time runs beside the timed calls, as a host's
// would: a later play replaces what an earlier one still plays, so a timed
// play or tone replay is given a long play to replace each time. (Where a
// device lets plays overlap instead, the long plays pile up, as many as its
// outputs allow.)
void Begin(Activity activity, bool replaced = false) {
  if (activity == Activity::kRecording && !g_recording) {
    SoundRecordStart();
    g_recording = true;
  }
  if (activity == Activity::kPlaying && (replaced || Clock::now() - g_long_play_began > kLongPlayFresh)) {
    Load(kLongPlay);
    SoundRecordPlay(8000);
    Load(kShortPlay);  // what the timed plays play
    g_long_play_began = Clock::now();
  }
}

// Ends the activity: the next row starts with nothing playing.
void End(ws::AlsaDevice& device, Activity activity) {
  SoundRecordStop();
  g_recording = false;
  if (activity == Activity::kPlaying) ws::OutputClose(mirn::g_sound_state.OutputHandle);
  Until([&] { return !device.Playing(); }, milliseconds(5000));
  g_long_play_began = {};
}

// Once a timed call is over: warm, the next finds the PCMs kept; cold, it
// waits until the device holds none of the call's direction but the
// activity's.
void Settle(ws::AlsaDevice& device, bool warm, Activity activity, bool play) {
  // A short play is over in 50 ms; a device that says it still plays after
  // four times that is not waited for.
  if (play && activity != Activity::kPlaying) {
    Until([&] { return !device.Playing(); }, milliseconds(200));
  }
  if (warm) return;
  if (play) {
    ws::OutputClose(mirn::g_sound_state.OutputHandle);
    const std::size_t outputs = activity == Activity::kPlaying ? 2 : 0;
    // Through PipeWire the device may keep an output past its keep time: a
    // row that cannot be cold shows as warm rather than stall the run.
    Until([&] { return device.HeldOutputs() <= outputs; }, milliseconds(500));
  } else {
    const std::size_t inputs = activity == Activity::kRecording ? 1 : 0;
    Until([&] { return device.HeldPcms(ws::Direction::kInput) <= inputs; });
  }
}

enum class Export { kStart, kStop, kPlay, kTone, kSave, kLoad, kDllStop };
constexpr Export kOpeners[] = {Export::kStart, Export::kStop, Export::kPlay, Export::kTone};
// The calls that open no device: timed warm only (cold is the same for them).
constexpr Export kOthers[] = {Export::kSave, Export::kLoad, Export::kDllStop};
const char* Name(Export call) {
  switch (call) {
    case Export::kStart: return "SoundRecordStart";
    case Export::kStop: return "SoundRecordStop";
    case Export::kPlay: return "SoundRecordPlay(8000)";
    case Export::kTone: return "ToneCreate(5512)";
    case Export::kSave: return "SoundRecordSave";
    case Export::kLoad: return "SoundRecordLoad";
    case Export::kDllStop: return "DLLStop";
  }
  return "";
}

// The automation string a save or load is handed, made before the timing.
AutomationString g_path = nullptr;
void MakePath(Export call) {
  if (call == Export::kSave) g_path = AutomationStringFromUtf8((Server().dir() / "saved.wav").c_str());
  if (call == Export::kLoad) {
    g_path = AutomationStringFromUtf8((Server().dir() / ("take" + std::to_string(kShortPlay) + ".wav")).c_str());
  }
}

void Call(Export call) {
  switch (call) {
    case Export::kStart:
      benchmark::DoNotOptimize(SoundRecordStart());
      g_recording = true;
      break;
    case Export::kStop:
      benchmark::DoNotOptimize(SoundRecordStop());
      g_recording = false;
      break;
    case Export::kPlay: benchmark::DoNotOptimize(SoundRecordPlay(8000)); break;
    case Export::kTone: benchmark::DoNotOptimize(ToneCreate(5512)); break;
    case Export::kSave: benchmark::DoNotOptimize(SoundRecordSave(g_path, 8000)); break;
    case Export::kLoad: benchmark::DoNotOptimize(SoundRecordLoad(g_path)); break;
    case Export::kDllStop: benchmark::DoNotOptimize(DLLStop()); break;
  }
}

// One export in one state. A stop is timed with a recording under way (the
// library's own, as SoundRecordStart makes it); a start with none but the
// activity's.
void Export1(benchmark::State& state, Export call, Activity activity, bool warm) {
  ws::AlsaDevice& device = DeviceFor(warm);
  device.Install();
  Load(kShortPlay);
  Begin(activity);
  const bool play = call == Export::kPlay || call == Export::kTone;
  MakePath(call);
  Call(call);  // the first one opens what later warm ones find kept
  Settle(device, warm, activity, play);
  Measure(
      state, std::string(Name(call)) + " " + Name(activity) + (warm ? " warm" : " cold"),
      [&] {
        if (call == Export::kStop) {
          Call(Export::kStart);
          Until([] { return mirn::BytesRecorded() > 0; });  // under way
        }
        Begin(activity, play);
        MakePath(call);
      },
      [&] { Call(call); },
      [&] {
        if (call == Export::kStart && activity != Activity::kRecording) Call(Export::kStop);
        Settle(device, warm, activity, play);
      });
  End(device, activity);
}

// Plays of 1.25 s back to back: each cuts short a closed one past the bound.
void PlaysInARow(benchmark::State& state) {
  Warm().Install();
  Load(10'000);
  Measure(state, "SoundRecordPlay(8000) in a row", Nothing,
          [] { benchmark::DoNotOptimize(SoundRecordPlay(8000)); }, Nothing);
  End(Warm(), Activity::kIdle);
}

// Each export while the server is down (killed under a running recording and
// play), then right after it is back: no call may wait for the server.
void Outage(benchmark::State& state, bool recovery) {
  Warm().Install();
  Load(kLongPlay);
  SoundRecordStart();
  SoundRecordPlay(8000);
  Server().Stop();
  if (recovery && !Server().Restart()) {
    state.SkipWithError(Server().error().c_str());
    return;
  }
  Load(kShortPlay);
  std::size_t i = 0;
  Measure(state, recovery ? "each export, server just back" : "each export, server down", Nothing,
          [&] { Call(kOpeners[i++ % std::size(kOpeners)]); }, Nothing);
  SoundRecordStop();
  if (!recovery) Server().Restart();
}

constexpr int kCalls = 200;
constexpr int kFirstOpens = 100;
constexpr int kOutageCalls = 80;

void Register() {
  auto manual = [](benchmark::internal::Benchmark* b, int iterations) {
    b->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMicrosecond);
  };
  for (const bool capture : {false, true}) {
    const char* direction = capture ? "input" : "output";
    manual(benchmark::RegisterBenchmark((std::string("Floor/") + direction).c_str(), Floor, capture), kFirstOpens);
    manual(benchmark::RegisterBenchmark((std::string("FirstOpen/") + direction).c_str(), FirstOpen, capture), kFirstOpens);
  }
  const Activity activities[] = {Activity::kIdle, Activity::kRecording, Activity::kPlaying};
  for (const Export call : kOpeners) {
    for (const Activity activity : activities) {
      for (const bool warm : {true, false}) {
        const std::string name = std::string(Name(call)) + "/" + Name(activity) + (warm ? "/warm" : "/cold");
        manual(benchmark::RegisterBenchmark(name.c_str(), Export1, call, activity, warm), kCalls / 4);
      }
    }
  }
  for (const Export call : kOthers) {
    for (const Activity activity : activities) {
      const std::string name = std::string(Name(call)) + "/" + Name(activity) + "/warm";
      manual(benchmark::RegisterBenchmark(name.c_str(), Export1, call, activity, true), kCalls / 4);
    }
  }
  manual(benchmark::RegisterBenchmark("PlaysInARow", PlaysInARow), kCalls);
  manual(benchmark::RegisterBenchmark("Outage/down", Outage, false), kOutageCalls);
  manual(benchmark::RegisterBenchmark("Outage/back", Outage, true), kOutageCalls);
}

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

// The library's recording, in a child process of this program.
Cpu Recording(int seconds) {
  const std::string duration = std::to_string(seconds);
  const char* argv[] = {"sound_server_benchmark", kRecordChild, duration.c_str(), nullptr};
  return Child("/proc/self/exe", argv);
}

void ThousandPlays() {
  Warm().Install();
  Load(10'000);
  int threes = 0, threads = 0, fds = 0, clients = 0;
  for (int i = 0; i < 1000; ++i) {
    threes += SoundRecordPlay(8000) == 3;
    threads = std::max(threads, Threads());
    fds = std::max(fds, mirn::test::CountEntries("/proc/self/fd"));
    if (i % 100 == 99) clients = std::max(clients, Server().Clients());
  }
  std::printf("1000 plays in a row of a 1.25 s recording: %d return 3; at most %d threads, "
              "%d fds, %d server connections in the process\n",
              threes, threads, fds, clients);
  SetFigure("1000 plays: returned 3", threes);
  SetFigure("1000 plays: most threads", threads);
  SetFigure("1000 plays: most server connections", clients);
}

// Every row of this part, and the ratios that matter.
void Summary(const Cpu& ours, const Cpu& arecord, int seconds) {
  auto& r = Mine().rows;
  std::printf("\n== Each export alone, through %s (this run)\n", SoundTestServer::Name(Kind()));
  for (const auto& [key, f] : r) PrintRow(key, f);
  for (const char* direction : {"output", "input"}) {
    const Figures first = r[std::string("first open ") + direction];
    const Figures floor = r[std::string("floor ") + direction];
    std::printf("first open (%s): p50 %.1f us / bare open p50 %.1f us = %.2fx; p99 %.1f / %.1f us\n",
                direction, first.p50, floor.p50, first.p50 / floor.p50, first.p99, floor.p99);
  }
  std::printf("%d s recording, all threads: CPU %.3f s vs arecord %.3f s = %.2fx;"
              " context switches %ld vs %ld\n",
              seconds, ours.seconds, arecord.seconds, ours.seconds / arecord.seconds,
              ours.switches, arecord.switches);
  SetFigure("recording CPU / arecord's", ours.seconds / arecord.seconds);
}

}  // namespace

int RecordChild(int seconds) {
  SoundRecordStart();
  Pause(milliseconds(seconds * 1000));
  SoundRecordStop();
  return mirn::BytesRecorded() > 0 ? 0 : 1;
}

int RunExportRows(int argc, char** argv) {
  int seconds = 10;
  if (const char* env = std::getenv("MIRN_BENCH_RECORD_SECONDS")) seconds = std::atoi(env);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  // Back to back on the same server, before anything else holds a PCM.
  const Cpu arecord = Arecord(seconds);
  const Cpu ours = Recording(seconds);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ThousandPlays();
  Summary(ours, arecord, seconds);
  return 0;
}

}  // namespace mirn::bench
