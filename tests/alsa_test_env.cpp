// Runs a command inside the file-backed ALSA "default" of the ALSA tests, so
// that programs tested from outside (mirn's end-to-end tests) record and play
// on the same configuration as the library's own tests.
//
//   mirn_alsa_test_env files|missing COMMAND [ARGS...]
//
// The command finds the configuration's folder (infile.raw, stream.raw,
// stream.raw.0001, ...) in MIRN_ALSA_DIR; the folder goes when it ends.
// Exits with the command's status.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <string_view>

#include "tests/alsa_test_config.h"

extern char** environ;

int main(int argc, char** argv) {
  using mirn::test::AlsaTestConfig;
  const std::string_view kind = argc > 2 ? argv[1] : "";
  if (kind != "files" && kind != "missing") {
    std::fprintf(stderr, "usage: %s files|missing COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  const AlsaTestConfig config(kind == "files" ? AlsaTestConfig::Default::kFiles
                                              : AlsaTestConfig::Default::kMissing);
  setenv("MIRN_ALSA_DIR", config.dir().c_str(), 1);

  pid_t child = 0;
  if (posix_spawnp(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
    std::perror(argv[2]);
    return 127;
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
