// Spawns, stops and asks the child processes of the test servers.
#include "tests/child_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace mirn::test {

namespace {

// How long a stopped child may take to go before SIGKILL.
constexpr auto kStopLimit = std::chrono::seconds(5);

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> env(overrides);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::ranges::any_of(overrides, [&](const std::string& o) {
      return text.substr(0, text.find('=') + 1) == o.substr(0, o.find('=') + 1);
    });
    if (!replaced) env.emplace_back(text);
  }
  return env;
}

pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, int out) {
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child != 0) return child;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int null = open("/dev/null", O_RDONLY);
  dup2(null, 0);
  dup2(out, 1);
  dup2(out, 2);
  close_range(3, ~0u, 0);
  execvpe(args[0], args.data(), envp.data());
  _exit(127);
}

bool Exited(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == pid;
}

void StopChild(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
  while (!Exited(pid)) {
    if (std::chrono::steady_clock::now() > deadline) {
      KillChild(pid);
      return;
    }
    usleep(10'000);
  }
  pid = -1;
}

void KillChild(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

std::optional<std::string> CommandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  for (int c; (c = std::fgetc(pipe)) != EOF;) out.push_back(static_cast<char>(c));
  if (pclose(pipe) != 0) return std::nullopt;
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

bool Accepts(const std::filesystem::path& socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

}  // namespace mirn::test
