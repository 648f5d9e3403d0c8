// Unloads right after each export: the plain C host of the unload tests
// (tests/unload_host.c) run once per export through this process's device,
// ROUNDS rounds of load, call, unload; then no thread may be left 3 s on,
// and a reload must record and play. A host killed by a signal crashed; one
// that outlives its time hung; what else failed it says on stderr.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "benchmarks/parts.h"

extern char** environ;

namespace mirn::bench {

namespace {

constexpr const char* kExports[] = {"start", "stop", "play", "save", "load", "tone", "dllstop"};

struct Outcome {
  bool crashed = false, hung = false, left = false, reload_failed = false;
  std::string said;  // the host's complaint, if any
};

Outcome RunHost(const char* call, int rounds, const fs::path& folder) {
  const fs::path said = folder / "unload_host.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string count = std::to_string(rounds);
  const char* argv[] = {MIRN_BENCH_UNLOAD_HOST, MIRN_BENCH_AUTOMATION, MIRN_BENCH_LIBRARY, call,
                        "unload", count.c_str(), nullptr};
  pid_t pid = -1;
  Outcome outcome;
  const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!spawned) {
    outcome.said = "cannot be started";
    return outcome;
  }
  // Each round is quick; the host waits 3 s for threads, a reload records
  // for a few seconds at most.
  const int status = WaitExit(pid, std::chrono::seconds(2 * rounds + 60));
  outcome.hung = status == -1;
  outcome.crashed = status != -1 && WIFSIGNALED(status);
  std::ifstream in(said);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("mirn_unload_host: ", 0) != 0) continue;
    outcome.said += (outcome.said.empty() ? "" : "; ") + line.substr(18);
    outcome.left = outcome.left || line.find("left") != std::string::npos ||
                   line.find("still loaded") != std::string::npos;
    outcome.reload_failed = outcome.reload_failed || line.find("reload") != std::string::npos;
  }
  if (status > 0 && !outcome.crashed && outcome.said.empty()) outcome.said = "failed";
  return outcome;
}

}  // namespace

void RunUnloads(const RunOptions& options, const fs::path& folder, const std::string& device) {
  std::printf("\n== Unloads right after each export through %s (%d rounds each, a plain C host)\n",
              device.c_str(), options.unload_rounds);
  int crashes = 0, hangs = 0, left = 0, reloads_failed = 0, other = 0;
  for (const char* call : kExports) {
    const Outcome o = RunHost(call, options.unload_rounds, folder);
    std::printf("  %-8s %s%s%s\n", call, o.crashed ? "CRASHED" : o.hung ? "HUNG" : o.said.empty() ? "ok" : "FAILED",
                o.said.empty() ? "" : ": ", o.said.c_str());
    crashes += o.crashed;
    hangs += o.hung;
    left += o.left;
    reloads_failed += o.reload_failed;
    other += !o.crashed && !o.hung && !o.left && !o.reload_failed && !o.said.empty();
  }
  SetFigure("unload: rounds per export", options.unload_rounds);
  SetFigure("unload: crashes", crashes);
  SetFigure("unload: hangs", hangs);
  SetFigure("unload: threads left after 3 s", left);
  SetFigure("unload: reloads failed", reloads_failed);
  SetFigure("unload: other failures", other);
}

}  // namespace mirn::bench
