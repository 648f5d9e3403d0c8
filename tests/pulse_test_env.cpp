// Runs a command under a private PulseAudio server of its own (see
// tests/pulse_test_server.h), so that programs tested from outside (mirn, a
// Wine process) record from a source whose bytes the test knows and play into
// a null sink, with nothing of the machine's sound set-up involved.
//
//   mirn_pulse_test_env [--source FILE] [--format F] [--rate N] [--channels N]
//                       [--record-sink] [--lifetime SECONDS] [--] COMMAND [ARGS...]
//
// The command gets PULSE_SERVER, ALSA_CONFIG_PATH ("default" is the server),
// MIRN_PULSE_DIR (the server's folder: server.log, and sink.raw with
// --record-sink), MIRN_PULSE_SINK and MIRN_PULSE_SOURCE (their names) and
// MIRN_PULSE_PID. The source plays FILE looped, or bytes 1, 2, ..., 251, 1, ...
// (PulseTestServer::SourceByte) from the first one recorded, at the given
// format (default u8, 8000 Hz, mono). The server is stopped whatever becomes
// of the command, and killed once the lifetime (default 900 s) has passed.
// Exits with the command's status, or 1 when the server does not start.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "tests/pulse_test_server.h"

extern char** environ;

namespace {

volatile sig_atomic_t g_child = 0;

// A wrapper told to stop passes it on and waits for the command to end, so
// that the server is still stopped and the folder removed.
void Forward(int signal) {
  if (g_child > 0) kill(g_child, signal);
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--source FILE] [--format F] [--rate N] [--channels N] "
               "[--record-sink] [--lifetime SECONDS] [--] COMMAND [ARGS...]\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using mirn::test::PulseTestServer;
  PulseTestServer::Options options;
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
    } else if (option == "--format") {
      options.format = argv[arg + 1];
    } else if (option == "--rate" && value(number)) {
      options.rate = number;
    } else if (option == "--channels" && value(number)) {
      options.channels = number;
    } else if (option == "--lifetime" && value(number)) {
      options.lifetime = std::chrono::seconds(number);
    } else {
      return Usage(argv[0]);
    }
    ++arg;
  }
  if (arg >= argc) return Usage(argv[0]);

  PulseTestServer server(options);
  if (!server.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], server.error().c_str());
    return 1;
  }
  setenv("MIRN_PULSE_SINK", PulseTestServer::kSink, 1);
  setenv("MIRN_PULSE_SOURCE", PulseTestServer::kSource, 1);
  setenv("MIRN_PULSE_PID", std::to_string(server.pid()).c_str(), 1);

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
    std::ifstream log(server.dir() / "server.log");
    const std::string text{std::istreambuf_iterator<char>(log), {}};
    std::fprintf(stderr, "%s: %s ended with status %d; the server's log:\n%s", argv[0], argv[arg],
                 code, text.c_str());
  }
  return code;
}
