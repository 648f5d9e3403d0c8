// Starts, feeds and stops the private PulseAudio server of the tests.
#include "tests/pulse_test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

extern char** environ;

namespace mirn::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// How long the server may take to come up (a loaded machine is slow).
constexpr auto kStartLimit = std::chrono::seconds(30);
// How long a stopped server or recorder may take to go before SIGKILL.
constexpr auto kStopLimit = std::chrono::seconds(5);
// The smallest pipe Linux makes: half a second of 8 kHz u8 waits in it at
// most while nobody records, so what a recording gets is close to "now".
constexpr int kFifoBytes = 4096;

unsigned SampleBytes(const std::string& format) {
  if (format == "s16le" || format == "s16be") return 2;
  if (format == "s24le" || format == "s24be") return 3;
  if (format.starts_with("s32") || format.starts_with("float32") || format.starts_with("s24-32")) {
    return 4;
  }
  return 1;  // u8, alaw, ulaw
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// An environment for a child: this process's, with `overrides` (NAME=value)
// put first, where getenv finds them before any older value.
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

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs argv[0] (looked up in PATH) with its output in `out`. The child is
// killed if this thread ends first (a crashed or killed test leaves no
// server behind) and inherits no other descriptor of the test.
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

// SIGTERM, then SIGKILL once kStopLimit has passed; reaps the child.
void StopChild(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto deadline = Clock::now() + kStopLimit;
  while (!Exited(pid)) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    usleep(10'000);
  }
  pid = -1;
}

bool Accepts(const fs::path& socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

// What `pactl list short WHAT` prints; nullopt when pactl fails.
std::optional<std::string> Pactl(const char* what) {
  const std::string command = std::string("pactl list short ") + what + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  for (int c; (c = std::fgetc(pipe)) != EOF;) out.push_back(static_cast<char>(c));
  if (pclose(pipe) != 0) return std::nullopt;
  return out;
}

int PactlLines(const char* what) {
  const std::optional<std::string> out = Pactl(what);
  return out ? static_cast<int>(std::ranges::count(*out, '\n')) : -1;
}

}  // namespace

PulseTestServer::PulseTestServer() : PulseTestServer(Options{}) {}

PulseTestServer::PulseTestServer(Options options) : options_(std::move(options)) {
  Start();
  if (!ok()) Stop();
}

PulseTestServer::~PulseTestServer() {
  Stop();
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

std::string PulseTestServer::server() const { return "unix:" + (dir_ / "native").string(); }

void PulseTestServer::Start() {
  std::string pattern = (fs::temp_directory_path() / "mirn_pulse_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "no temporary folder";
    return;
  }
  dir_ = pattern;
  if (!options_.source_file.empty()) {
    std::ifstream in(options_.source_file, std::ios::binary);
    source_.assign(std::istreambuf_iterator<char>(in), {});
    if (source_.empty()) {
      error_ = "no bytes in " + options_.source_file.string();
      return;
    }
  }
  for (const char* sub : {"runtime", "state", "config"}) mkdir((dir_ / sub).c_str(), 0700);

  // The sink and the source first, the socket last: once it takes a
  // connection, the script has run.
  std::ostringstream sample_format;
  sample_format << "format=" << options_.format << " rate=" << options_.rate
       << " channels=" << options_.channels;
  WriteFile(dir_ / "server.pa",
            "load-module module-null-sink sink_name=" + std::string(kSink) + " " + sample_format.str() +
                "\n"
                "load-module module-pipe-source source_name=" + kSource +
                " file=" + Fifo().string() + " " + sample_format.str() +
                "\n"
                "set-default-sink " + kSink + "\n" + "set-default-source " + kSource + "\n" +
                "load-module module-native-protocol-unix socket=" + (dir_ / "native").string() +
                " auth-anonymous=1\n");
  WriteFile(dir_ / "client.conf", "autospawn = no\n");
  WriteFile(dir_ / "asound.conf", "pcm.!default { type pulse server \"" + server() + "\" }\n" +
                                      "ctl.!default { type pulse server \"" + server() + "\" }\n");

  // The server's own files all go into the folder, none into the user's.
  const int log = open((dir_ / "server.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  server_pid_ = Spawn(
      {"pulseaudio", "-n", "-F", (dir_ / "server.pa").string(), "--daemonize=no",
       "--use-pid-file=no", "--exit-idle-time=-1", "--disallow-exit=yes", "--realtime=no",
       "--high-priority=no", "--no-cpu-limit=yes", "--log-target=stderr", "--log-level=notice"},
      ChildEnvironment({"HOME=" + dir_.string(), "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                        "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
                        "PULSE_RUNTIME_PATH=" + (dir_ / "runtime").string(),
                        "PULSE_STATE_PATH=" + (dir_ / "state").string()}),
      log);
  close(log);
  if (server_pid_ < 0) {
    error_ = "cannot fork the server";
    return;
  }
  const auto deadline = Clock::now() + kStartLimit;
  while (!Accepts(dir_ / "native")) {
    if (Exited(server_pid_) || Clock::now() > deadline) {
      server_pid_ = Exited(server_pid_) ? -1 : server_pid_;
      error_ = "PulseAudio did not start:\n" + ReadText(dir_ / "server.log");
      return;
    }
    usleep(10'000);
  }

  setenv("PULSE_SERVER", server().c_str(), 1);
  // The server goes on when a line of its script fails: see that both are there.
  const std::optional<std::string> sinks = Pactl("sinks");
  const std::optional<std::string> sources = Pactl("sources");
  if (!sinks || sinks->find(kSink) == std::string::npos || !sources ||
      sources->find(kSource) == std::string::npos) {
    error_ = "PulseAudio started without its sink or source:\n" + ReadText(dir_ / "server.log");
    return;
  }
  setenv("PULSE_CLIENTCONFIG", (dir_ / "client.conf").c_str(), 1);
  setenv("PULSE_COOKIE", (dir_ / "cookie").c_str(), 1);
  setenv("ALSA_CONFIG_PATH", (dir_ / "asound.conf").c_str(), 1);
  setenv("MIRN_PULSE_DIR", dir_.c_str(), 1);

  // The server holds the pipe open itself, so it never reads an end of file.
  fifo_ = open(Fifo().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fifo_ < 0) {
    error_ = "cannot open the source's pipe: " + std::string(std::strerror(errno));
    return;
  }
  fcntl(fifo_, F_SETPIPE_SZ, kFifoBytes);
  feeder_ = std::thread(&PulseTestServer::Feed, this);

  if (options_.record_sink) {
    const int out = open((dir_ / "sink.raw").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    recorder_pid_ = Spawn({"parec", "--device=" + std::string(kSink) + ".monitor",
                           "--format=" + options_.format, "--rate=" + std::to_string(options_.rate),
                           "--channels=" + std::to_string(options_.channels), "--raw",
                           "--latency-msec=20"},
                          ChildEnvironment({}), out);
    close(out);
    while (PactlLines("source-outputs") < 1) {
      if (recorder_pid_ < 0 || Exited(recorder_pid_) || Clock::now() > deadline) {
        recorder_pid_ = -1;
        error_ = "parec did not start recording the sink";
        return;
      }
      usleep(10'000);
    }
  }
}

// Writes the source's bytes into the pipe at the source's rate, in steps of
// 10 ms. While the pipe is full (nobody records) it waits and then goes on
// from where it was, so the bytes stay in order with none left out. Kills
// the server once its lifetime has passed.
void PulseTestServer::Feed() {
  // A server gone makes writes fail with EPIPE; the signal must not end the test.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

  const std::uint64_t per_second =
      std::uint64_t{options_.rate} * options_.channels * SampleBytes(options_.format);
  const std::size_t step = std::max<std::size_t>(per_second / 100, 1);
  std::vector<std::uint8_t> chunk(step);
  const auto end_of_life = Clock::now() + options_.lifetime;
  auto paced_since = Clock::now();
  std::uint64_t fed = 0;
  std::uint64_t fed_then = 0;  // bytes written when the pacing last began
  while (!stop_feeding_.load(std::memory_order_acquire)) {
    const auto now = Clock::now();
    if (now > end_of_life) {
      std::fprintf(stderr, "PulseTestServer: lifetime over, killing the server\n");
      kill(server_pid_, SIGKILL);
      return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - paced_since);
    const std::uint64_t due =
        fed_then + per_second * static_cast<std::uint64_t>(elapsed.count()) / 1'000'000;
    while (fed < due) {
      const std::size_t count = std::min<std::uint64_t>(due - fed, chunk.size());
      for (std::size_t i = 0; i < count; ++i) {
        chunk[i] = source_.empty() ? SourceByte(fed + i) : source_[(fed + i) % source_.size()];
      }
      const ssize_t put = write(fifo_, chunk.data(), count);
      if (put <= 0) {
        // Full (or the server gone): start the pacing again from here.
        paced_since = now;
        fed_then = fed;
        break;
      }
      fed += static_cast<std::uint64_t>(put);
      fed_.store(fed, std::memory_order_release);
    }
    poll(nullptr, 0, 10);
  }
}

void PulseTestServer::Stop() {
  stop_feeding_.store(true, std::memory_order_release);
  if (feeder_.joinable()) feeder_.join();
  if (fifo_ >= 0) close(fifo_);
  fifo_ = -1;
  StopChild(recorder_pid_);
  StopChild(server_pid_);
}

std::vector<std::uint8_t> PulseTestServer::SinkBytes() const {
  std::ifstream in(dir_ / "sink.raw", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

int PulseTestServer::Clients() const {
  const int lines = PactlLines("clients");
  return lines < 0 ? -1 : lines - 1;
}

}  // namespace mirn::test

#if defined(__SANITIZE_THREAD__)
// libpulse is not built with ThreadSanitizer, so the atomics of its lock-free
// ring buffers and reference counts are invisible to it, and the copies
// libpulse makes on either side of them look like races. Ignore the accesses
// libpulse's own calls make; every program that talks to the test server
// links this file.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libpulse.so\ncalled_from_lib:libpulsecommon\n";
}
#endif
