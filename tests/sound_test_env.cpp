// Runs a command under a private sound server of its own (see
// tests/sound_test_server.h), so that programs tested from outside (mirn, a
// Wine process, the demo) record from a source whose bytes the test knows
// and play into a null sink, with nothing of the machine's sound set-up
// involved.
//
//   mirn_sound_test_env [--server pulseaudio|pipewire] [--source FILE]
//                       [--record-sink] [--lifetime SECONDS] [--] COMMAND [ARGS...]
//
// The server is PulseAudio unless named. The command gets ALSA_CONFIG_PATH
// ("default" is the server) and the server's own client variables,
// MIRN_SERVER (its name), MIRN_SERVER_DIR (its folder: server.log, and
// sink.raw with --record-sink), MIRN_SERVER_SINK and MIRN_SERVER_SOURCE
// (their names) and MIRN_SERVER_PID. The source plays FILE looped, or bytes
// 1, 2, ..., 251, 1, ... (SoundTestServer::SourceByte) from the first one
// recorded, u8 at 8000 Hz, mono. The server is stopped whatever becomes of
// the command, and killed once the lifetime (default 900 s) has passed.
// Exits with the command's status, 1 when the server does not start, or 77
// (what CTest takes for a skipped test) when the machine has no such server.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "tests/sound_test_server.h"

extern char** environ;

namespace {

constexpr int kNoServer = 77;

volatile sig_atomic_t g_child = 0;

// A wrapper told to stop passes it on and waits for the command to end, so
// that the server is still stopped and the folder removed.
void Forward(int signal) {
  if (g_child > 0) kill(g_child, signal);
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--server pulseaudio|pipewire] [--source FILE] [--record-sink] "
               "[--lifetime SECONDS] [--] COMMAND [ARGS...]\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using mirn::test::SoundTestServer;
  SoundTestServer::Options options;
  mirn::test::ServerKind kind = mirn::test::ServerKind::kPulseAudio;
  int arg = 1;
  auto value = [&](unsigned& out) {
    char* end = nullptr;
    const unsigned long parsed = arg + 1 < argc ? std::strtoul(argv[arg + 1], &end, 10) : 0;
    if (end == nullptr || *end != '\0' || parsed == 0) return false;
    out = static_cast<unsigned>(parsed);
    return true;
  };
  for (; arg < argc; ++arg) {
    const std::string_view option = argv[arg];
    unsigned number = 0;
    if (option == "--") {
      ++arg;
      break;
    } else if (option == "--record-sink") {
      options.record_sink = true;
      continue;
    } else if (!option.starts_with("--")) {
      break;
    } else if (arg + 1 >= argc) {
      return Usage(argv[0]);
    }
    if (option == "--source") {
      options.source_file = argv[arg + 1];
    } else if (option == "--server" && SoundTestServer::Parse(argv[arg + 1], &kind)) {
      // kind is set
    } else if (option == "--lifetime" && value(number)) {
      options.lifetime = std::chrono::seconds(number);
    } else {
      return Usage(argv[0]);
    }
    ++arg;
  }
  if (arg >= argc) return Usage(argv[0]);

  if (const std::string missing = SoundTestServer::Missing(kind); !missing.empty()) {
    std::fprintf(stderr, "%s: no %s server: %s\n", argv[0], SoundTestServer::Name(kind),
                 missing.c_str());
    return kNoServer;
  }
  const std::unique_ptr<SoundTestServer> server = SoundTestServer::Start(kind, options);
  if (!server->ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], server->error().c_str());
    return 1;
  }
  setenv("MIRN_SERVER", SoundTestServer::Name(kind), 1);
  setenv("MIRN_SERVER_DIR", server->dir().c_str(), 1);
  setenv("MIRN_SERVER_SINK", SoundTestServer::kSink, 1);
  setenv("MIRN_SERVER_SOURCE", SoundTestServer::kSource, 1);
  setenv("MIRN_SERVER_PID", std::to_string(server->pid()).c_str(), 1);

  struct sigaction forward {};
  forward.sa_handler = Forward;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &forward, nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[arg], nullptr, nullptr, argv + arg, environ) != 0) {
    std::perror(argv[arg]);
    return 127;
  }
  g_child = child;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      std::perror("waitpid");
      return 1;
    }
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // A command that fails before it prints anything still leaves a line on
  // how it ended, and the server's own account of the run.
  if (code != 0) {
    std::ifstream log(server->dir() / "server.log");
    const std::string text{std::istreambuf_iterator<char>(log), {}};
    std::fprintf(stderr, "%s: %s ended with status %d; the server's log:\n%s", argv[0], argv[arg],
                 code, text.c_str());
  }
  return code;
}
