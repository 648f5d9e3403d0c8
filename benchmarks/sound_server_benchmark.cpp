// The exports through real sound servers (a private PipeWire and a private
// PulseAudio server, each where the machine has it, ALSA's "default" on
// it). The parent runs each part (parts.h) in a child process of its own
// per server (--server NAME --part PART), then the unloads once more through
// the file-backed ALSA device, and prints every row and figure for both
// servers side by side, then each goal met or not (report.h). Run by
// scripts/benchmark.sh, not by ctest.
//   sound_server_benchmark [--servers LIST] [--parts LIST] [--seed N] [--mix-calls N]
//       [--memory-seconds S] [--host-rounds N] [--takes N] [--first-takes N]
//       [--plays N] [--unload-rounds N] [GOOGLE_BENCHMARK_FLAGS...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "benchmarks/parts.h"
#include "benchmarks/report.h"
#include "tests/alsa_test_config.h"

extern char** environ;

namespace mirn::bench {

namespace {

constexpr const char* kParts[] = {"rows", "mix", "host", "takes", "plays", "memory", "unload"};

// How long a part may take before it is taken as hung and killed.
std::chrono::seconds PartLimit(const std::string& part, const RunOptions& options) {
  if (part == "memory") return std::chrono::seconds(options.memory_seconds + 600);
  return std::chrono::seconds(part == "rows" ? 3600 : 1800);
}

// In a part's process: the server the part needs, then the part.
int RunPart(const std::string& server, const std::string& part, std::vector<std::string> args) {
  RunOptions options;
  std::string error;
  if (!options.Parse(args, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (server == "files") {  // the file-backed ALSA device: the unloads only
    const mirn::test::AlsaTestConfig config;
    RunUnloads(options, config.dir(), "the file-backed ALSA device");
    WriteResults();
    return 0;
  }
  ServerKind kind{};
  if (!SoundTestServer::Parse(server, &kind)) {
    std::fprintf(stderr, "unknown server %s\n", server.c_str());
    return 2;
  }
  SoundTestServer::Options server_options;
  fs::path source;
  if (part == "takes") server_options.source_file = source = WriteTakeSource(options.seed);
  if (part == "plays") server_options.record_sink = true;
  server_options.lifetime = PartLimit(part, options);
  UseServer(kind, server_options);
  if (!Server().ok()) {  // before the first ALSA call
    std::fprintf(stderr, "%s\n", Server().error().c_str());
    return 1;
  }
  int status = 0;
  if (part == "rows") {
    std::vector<char*> argv = {const_cast<char*>("sound_server_benchmark")};
    for (std::string& a : args) argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    status = RunExportRows(argc, argv.data());
  } else if (part == "mix") {
    RunMix(options);
  } else if (part == "host") {
    RunHostPatterns(options);
  } else if (part == "takes") {
    RunTakes(options);
  } else if (part == "plays") {
    RunPlays(options);
  } else if (part == "memory") {
    RunMemory(options);
  } else if (part == "unload") {
    RunUnloads(options, Server().dir(), std::string("a private ") + SoundTestServer::Name(kind) + " server");
  }
  WriteResults();
  if (!source.empty()) fs::remove(source);
  return status;
}

// Runs one part in a child, its results appended to `results`; its stderr
// is passed on without ALSA's own lines, which are counted.
bool RunChild(const std::string& server, const std::string& part, const RunOptions& options,
              const std::vector<std::string>& flags, const fs::path& results, int* alsa_lines) {
  std::vector<std::string> args = {"sound_server_benchmark", "--server", server, "--part", part};
  for (const std::string& a : options.Args()) args.push_back(a);
  if (part == "rows") args.insert(args.end(), flags.begin(), flags.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const fs::path messages = fs::temp_directory_path() / ("mirn_bench_stderr_" + std::to_string(getpid()));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, messages.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  setenv("MIRN_BENCH_RESULTS", results.c_str(), 1);
  std::fflush(stdout);
  pid_t child = 0;
  int status = 1;
  if (posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv.data(), environ) == 0) {
    status = WaitExit(child, PartLimit(part, options));
  }
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream in(messages);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("ALSA lib", 0) == 0) {
      ++*alsa_lines;
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }
  fs::remove(messages);
  if (status != 0) {
    std::printf("== %s, part %s: %s\n", server.c_str(), part.c_str(),
                status == -1 ? "HUNG, killed" : ("failed (status " + std::to_string(status) + ")").c_str());
  }
  return status == 0;
}

int EveryServer(std::vector<std::string> args) {
  RunOptions options;
  std::string error;
  if (!options.Parse(args, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  std::printf("servers %s, parts %s, seed %llu\n", options.servers.c_str(), options.parts.c_str(),
              static_cast<unsigned long long>(options.seed));
  std::vector<ServerRun> runs;
  for (const ServerKind kind : {ServerKind::kPipeWire, ServerKind::kPulseAudio}) {
    const std::string name = kind == ServerKind::kPipeWire ? "pipewire" : "pulseaudio";
    if (!options.HasServer(name)) continue;
    if (const std::string missing = SoundTestServer::Missing(kind); !missing.empty()) {
      std::printf("== %s: SKIPPED, %s\n", SoundTestServer::Name(kind), missing.c_str());
      continue;
    }
    const fs::path results = fs::temp_directory_path() / ("mirn_bench_" + name + ".tsv");
    fs::remove(results);
    std::printf("\n==== Through a private %s server\n", SoundTestServer::Name(kind));
    ServerRun run{SoundTestServer::Name(kind), {}, 0};
    for (const char* part : kParts) {
      if (options.Has(part)) RunChild(name, part, options, args, results, &run.alsa_lines);
    }
    ReadResults(results, run.results);
    fs::remove(results);
    runs.push_back(std::move(run));
  }
  Results files;
  if (options.Has("unload")) {
    const fs::path results = fs::temp_directory_path() / "mirn_bench_files.tsv";
    fs::remove(results);
    int lines = 0;
    RunChild("files", "unload", options, {}, results, &lines);
    ReadResults(results, files);
    fs::remove(results);
  }
  PrintRows(runs);
  PrintFigures(runs);
  PrintGoals(runs, files);
  return 0;
}

}  // namespace

}  // namespace mirn::bench

int main(int argc, char** argv) {
  using namespace mirn::bench;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == kRecordChild) return RecordChild(std::atoi(args[1].c_str()));
  if (args.size() == 3 && args[0] == kTakeChild) return TakeChild(std::atoi(args[1].c_str()), args[2]);
  if (args.size() >= 4 && args[0] == "--server" && args[2] == "--part") {
    return RunPart(args[1], args[3], std::vector<std::string>(args.begin() + 4, args.end()));
  }
  if (!args.empty() && args[0] == "--server") {
    std::fprintf(stderr, "usage: %s [--servers LIST] [--parts LIST] [--seed N] [--mix-calls N] [--memory-seconds S] "
                         "[--host-rounds N] [--takes N] [--first-takes N] [--plays N] "
                         "[--unload-rounds N] [BENCHMARK_FLAGS...]\n", argv[0]);
    return 2;
  }
  return EveryServer(args);
}
