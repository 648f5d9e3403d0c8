// The exports' latency through real sound servers (a private PipeWire and a
// private PulseAudio server, each where the machine has it, ALSA's "default"
// on it): each export idle, while recording and while playing, warm (a PCM
// at the rate kept from an earlier stream) and cold (none kept); plays in a
// row; each call while the server is down and right after it is back; beside
// the floor of a bare ALSA open through the same server in the same run;
// then the CPU of a recording beside arecord's, and a thousand plays in a
// row. Each server runs in a child process of its own (--server NAME); the
// parent prints every row for both, p50/p99. Run by scripts/benchmark.sh,
// not by ctest.
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <alsa/asoundlib.h>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "tests/alsa_test_config.h"
#include "tests/sound_test_server.h"
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

using mirn::test::ServerKind;
using mirn::test::SoundTestServer;

ServerKind g_kind = ServerKind::kPulseAudio;
SoundTestServer& Server() {
  static const std::unique_ptr<SoundTestServer> server = SoundTestServer::Start(g_kind);
  return *server;
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
  while (!done() && Clock::now() < deadline) Pause(1);
}

bool g_recording = false;  // the library's recording runs
Clock::time_point g_long_play_began{};  // the long play's

// Starts the activity again when a call timed has ended it, or it is near
// its end. A timed play closes the long play's handle, and the long play
// goes on: one play at a time runs beside the timed calls, as a host's
// would, not a new one before each call.
void Begin(Activity activity) {
  if (activity == Activity::kRecording && !g_recording) {
    SoundRecordStart();
    g_recording = true;
  }
  if (activity == Activity::kPlaying && Clock::now() - g_long_play_began > kLongPlayFresh) {
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

enum class Export { kStart, kStop, kPlay, kTone };
constexpr Export kExports[] = {Export::kStart, Export::kStop, Export::kPlay, Export::kTone};
const char* Name(Export call) {
  switch (call) {
    case Export::kStart: return "SoundRecordStart";
    case Export::kStop: return "SoundRecordStop";
    case Export::kPlay: return "SoundRecordPlay(8000)";
    case Export::kTone: return "ToneCreate(5512)";
  }
  return "";
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
  Call(call);  // the first one opens what later warm ones find kept
  Settle(device, warm, activity, play);
  Measure(
      state, std::string(Name(call)) + " " + Name(activity) + (warm ? " warm" : " cold"),
      [&] {
        if (call == Export::kStop) {
          Call(Export::kStart);
          Until([] { return mirn::BytesRecorded() > 0; });  // under way
        }
        Begin(activity);
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
          [&] { Call(kExports[i++ % std::size(kExports)]); }, Nothing);
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
  for (const Export call : kExports) {
    for (const Activity activity : {Activity::kIdle, Activity::kRecording, Activity::kPlaying}) {
      for (const bool warm : {true, false}) {
        const std::string name = std::string(Name(call)) + "/" + Name(activity) + (warm ? "/warm" : "/cold");
        manual(benchmark::RegisterBenchmark(name.c_str(), Export1, call, activity, warm), kCalls / 4);
      }
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

// Every row of this server's run, and the ratios that matter; the rows also
// go to the file the parent reads (key, p50, p99 a line).
void Summary(const Cpu& ours, const Cpu& arecord, int seconds, const char* rows_file) {
  auto& r = Results();
  std::printf("\n== Summary through %s (this run)\n", SoundTestServer::Name(g_kind));
  std::FILE* rows = rows_file != nullptr ? std::fopen(rows_file, "w") : nullptr;
  for (const auto& [key, f] : r) {
    std::printf("%-48s p50 %9.1f us  p99 %9.1f us\n", key.c_str(), f.p50, f.p99);
    if (rows != nullptr) std::fprintf(rows, "%s\t%.1f\t%.1f\n", key.c_str(), f.p50, f.p99);
  }
  if (rows != nullptr) std::fclose(rows);
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
}

// One child per server the machine has, in turn, then every row side by side.
int EveryServer(int argc, char** argv) {
  std::map<std::string, std::map<ServerKind, Figures>> rows;
  std::vector<ServerKind> ran;
  for (const ServerKind kind : {ServerKind::kPipeWire, ServerKind::kPulseAudio}) {
    if (const std::string missing = SoundTestServer::Missing(kind); !missing.empty()) {
      std::printf("== %s: SKIPPED, %s\n", SoundTestServer::Name(kind), missing.c_str());
      continue;
    }
    const std::string name = kind == ServerKind::kPipeWire ? "pipewire" : "pulseaudio";
    const fs::path rows_file = fs::temp_directory_path() / ("mirn_bench_" + name + ".tsv");
    std::vector<std::string> args = {"sound_server_benchmark", "--server", name};
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    std::vector<char*> child_argv;
    for (std::string& a : args) child_argv.push_back(a.data());
    child_argv.push_back(nullptr);
    setenv("MIRN_BENCH_ROWS", rows_file.c_str(), 1);
    std::printf("\n==== Through a private %s server\n", SoundTestServer::Name(kind));
    std::fflush(stdout);
    pid_t child = 0;
    int status = 1;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, child_argv.data(), environ) == 0) {
      waitpid(child, &status, 0);
    }
    std::ifstream in(rows_file);
    std::string line;
    while (std::getline(in, line)) {
      const auto tab = line.find('\t');
      const auto tab2 = line.find('\t', tab + 1);
      rows[line.substr(0, tab)][kind] = {std::atof(line.c_str() + tab + 1), std::atof(line.c_str() + tab2 + 1)};
    }
    fs::remove(rows_file);
    if (status != 0) std::printf("== %s: the run failed (status %d)\n", SoundTestServer::Name(kind), status);
    ran.push_back(kind);
  }
  std::printf("\n== Every row, p50 / p99 in us, each server with its own bare-open floor\n%-48s",
              "");
  for (const ServerKind kind : ran) std::printf("  %22s", SoundTestServer::Name(kind));
  std::printf("\n");
  for (const auto& [key, by_server] : rows) {
    std::printf("%-48s", key.c_str());
    for (const ServerKind kind : ran) {
      const auto it = by_server.find(kind);
      if (it == by_server.end()) {
        std::printf("  %22s", "-");
      } else {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%.1f / %.1f", it->second.p50, it->second.p99);
        std::printf("  %22s", cell);
      }
    }
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kRecordChild) return RecordChild(std::atoi(argv[2]));
  if (argc < 3 || std::string(argv[1]) != "--server") return EveryServer(argc, argv);
  if (!SoundTestServer::Parse(argv[2], &g_kind)) {
    std::fprintf(stderr, "usage: %s [--server pipewire|pulseaudio] [BENCHMARK_FLAGS...]\n", argv[0]);
    return 2;
  }
  argv[2] = argv[0];  // Google Benchmark reads the flags after these two
  argc -= 2;
  argv += 2;
  if (!Server().ok()) {  // before the first ALSA call
    std::fprintf(stderr, "%s\n", Server().error().c_str());
    return 1;
  }
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
  Summary(ours, arecord, seconds, std::getenv("MIRN_BENCH_ROWS"));
  return 0;
}
