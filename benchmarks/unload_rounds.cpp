// Unloads right after each export: the plain C host (unload_host.c) run
// once per export through this process's device, each run ROUNDS rounds of
// load, call, unload, then a reload that records and plays. A host killed by
// a signal crashed; one that outlives its time hung.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "benchmarks/parts.h"

extern char** environ;

namespace mirn::bench {

namespace {

constexpr const char* kExports[] = {"start", "stop", "play", "save", "load", "tone", "dllstop"};

struct Outcome {
  bool crashed = false, hung = false, reloaded = false;
  int rounds = 0;  // rounds done
  int left = 0;    // rounds after which a thread was still there 3 s on
  double slowest_ms = 0;
};

Outcome RunHost(const char* call, int rounds, const fs::path& folder) {
  const fs::path out = folder / "unload_host.out";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string count = std::to_string(rounds);
  const std::string dir = folder.string();
  const char* argv[] = {MIRN_BENCH_UNLOAD_HOST, MIRN_BENCH_AUTOMATION, MIRN_BENCH_LIBRARY, call,
                        count.c_str(), dir.c_str(), nullptr};
  pid_t pid = -1;
  Outcome outcome;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    outcome.crashed = true;
    return outcome;
  }
  posix_spawn_file_actions_destroy(&actions);
  // Each round waits at most 3 s for threads; a host far past that hangs.
  const int status = WaitExit(pid, std::chrono::seconds(5 * rounds + 30));
  outcome.hung = status == -1;
  outcome.crashed = status != -1 && (WIFSIGNALED(status) || WEXITSTATUS(status) != 0);
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string word;
    int round = 0;
    double gone_ms = 0;
    if (words >> word && word == "round" && words >> round >> word >> gone_ms) {
      ++outcome.rounds;
      if (gone_ms < 0) ++outcome.left;
      outcome.slowest_ms = std::max(outcome.slowest_ms, gone_ms);
    }
    if (word == "reload") outcome.reloaded = line == "reload OK";
  }
  return outcome;
}

}  // namespace

void RunUnloads(const RunOptions& options, const fs::path& folder, const std::string& device) {
  std::printf("\n== Unloads right after each export through %s (%d rounds each, a plain C host)\n",
              device.c_str(), options.unload_rounds);
  int crashes = 0, hangs = 0, left = 0, reloads_failed = 0;
  double slowest = 0;
  for (const char* call : kExports) {
    const int rounds = options.unload_rounds;
    const Outcome o = RunHost(call, rounds, folder);
    std::printf("  %-8s %s after %d of %d rounds; threads left 3 s after %d unloads; slowest end of "
                "threads %.0f ms; reload %s\n",
                call, o.crashed ? "CRASHED" : o.hung ? "HUNG" : "ended", o.rounds, rounds, o.left,
                o.slowest_ms, o.reloaded ? "records and plays" : o.crashed || o.hung ? "not reached" : "FAILED");
    crashes += o.crashed;
    hangs += o.hung;
    left += o.left;
    reloads_failed += !o.reloaded && !o.crashed && !o.hung;
    slowest = std::max(slowest, o.slowest_ms);
  }
  SetFigure("unload: rounds per export", options.unload_rounds);
  SetFigure("unload: crashes", crashes);
  SetFigure("unload: hangs", hangs);
  SetFigure("unload: threads left after 3 s", left);
  SetFigure("unload: reloads failed", reloads_failed);
  SetFigure("unload: slowest end of threads ms", slowest);
}

}  // namespace mirn::bench
