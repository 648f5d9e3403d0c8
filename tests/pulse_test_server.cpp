// Starts, restarts and stops the private PulseAudio server of the tests.
#include "tests/pulse_test_server.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "tests/child_processes.h"

namespace mirn::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// How long the server may take to come up (a loaded machine is slow).
constexpr auto kStartLimit = std::chrono::seconds(30);

// What `pactl list short WHAT` prints; nullopt when pactl fails.
std::optional<std::string> Pactl(const char* what) {
  return CommandOutput(std::string("pactl list short ") + what + " 2>/dev/null");
}

int PactlLines(const char* what) {
  const std::optional<std::string> out = Pactl(what);
  return out ? static_cast<int>(std::ranges::count(*out, '\n')) : -1;
}

}  // namespace

std::string PulseTestServer::Missing() {
  for (const char* program : {"pulseaudio", "pactl", "parec"}) {
    if (!CommandOutput(std::string("command -v ") + program + " >/dev/null 2>&1")) {
      return std::string(program) + " is not installed (Debian: pulseaudio, pulseaudio-utils)";
    }
  }
  return {};
}

PulseTestServer::PulseTestServer(Options options)
    : SoundTestServer(ServerKind::kPulseAudio, std::move(options)) {
  if (!MakeFolder("mirn_pulse")) return;
  for (const char* sub : {"runtime", "state", "config"}) mkdir((dir_ / sub).c_str(), 0700);
  // The sink and the source first, the socket last: once it takes a
  // connection, the script has run.
  const std::string sample_format = " format=u8 rate=8000 channels=1";
  WriteFile(dir_ / "server.pa",
            "load-module module-null-sink sink_name=" + std::string(kSink) + sample_format + "\n" +
                "load-module module-pipe-source source_name=" + kSource + " file=" +
                Fifo().string() + sample_format + "\n" + "set-default-sink " + kSink + "\n" +
                "set-default-source " + kSource + "\n" +
                "load-module module-native-protocol-unix socket=" + (dir_ / "native").string() +
                " auth-anonymous=1\n");
  WriteFile(dir_ / "client.conf", "autospawn = no\n");
  WriteFile(dir_ / "asound.conf", "pcm.!default { type pulse server \"" + server() + "\" }\n" +
                                      "ctl.!default { type pulse server \"" + server() + "\" }\n");
  setenv("PULSE_SERVER", server().c_str(), 1);
  setenv("PULSE_CLIENTCONFIG", (dir_ / "client.conf").c_str(), 1);
  setenv("PULSE_COOKIE", (dir_ / "cookie").c_str(), 1);
  setenv("ALSA_CONFIG_PATH", (dir_ / "asound.conf").c_str(), 1);
  if (!Launch() || !StartFeeding(Pacing::kRealTime)) {
    Stop();
    return;
  }
  CountBaseline();
}

PulseTestServer::~PulseTestServer() {
  StopFeeding();
  StopChild(recorder_pid_);
  StopChild(server_pid_);
}

std::string PulseTestServer::server() const { return "unix:" + (dir_ / "native").string(); }

bool PulseTestServer::Launch() {
  // The server's own files all go into the folder, none into the user's.
  const int log = open((dir_ / "server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
    return false;
  }
  SetPid(server_pid_);
  const auto deadline = Clock::now() + kStartLimit;
  while (!Accepts(dir_ / "native")) {
    if (Exited(server_pid_) || Clock::now() > deadline) {
      error_ = "PulseAudio did not start:\n" + ReadText(dir_ / "server.log");
      return false;
    }
    usleep(10'000);
  }
  // The server goes on when a line of its script fails: see that both are there.
  const std::optional<std::string> sinks = Pactl("sinks");
  const std::optional<std::string> sources = Pactl("sources");
  if (!sinks || sinks->find(kSink) == std::string::npos || !sources ||
      sources->find(kSource) == std::string::npos) {
    error_ = "PulseAudio started without its sink or source:\n" + ReadText(dir_ / "server.log");
    return false;
  }
  if (options_.record_sink) {
    const int out = SinkFile();
    recorder_pid_ = Spawn({"parec", "--device=" + std::string(kSink) + ".monitor", "--format=u8",
                           "--rate=8000", "--channels=1", "--raw", "--latency-msec=20"},
                          ChildEnvironment({}), out);
    close(out);
    while (PactlLines("source-outputs") < 1) {
      if (recorder_pid_ < 0 || Exited(recorder_pid_) || Clock::now() > deadline) {
        recorder_pid_ = -1;
        error_ = "parec did not start recording the sink";
        return false;
      }
      usleep(10'000);
    }
    // Connected is not yet recording: a sound played before parec's first
    // bytes (the null sink's silence, which it renders all the time) was
    // missed from the sink's recording.
    while (SinkBytes().empty()) {
      if (Exited(recorder_pid_) || Clock::now() > deadline) {
        recorder_pid_ = -1;
        error_ = "parec recorded nothing of the sink";
        return false;
      }
      usleep(10'000);
    }
  }
  return true;
}

void PulseTestServer::Stop() {
  KillChild(recorder_pid_);
  KillChild(server_pid_);
  SetPid(-1);
}

bool PulseTestServer::Restart() {
  Stop();
  // The pipe source makes its pipe itself and refuses one that is there; the
  // bytes waiting in the old one are lost with the server.
  unlink(Fifo().c_str());
  if (!Launch() || !ReopenFifo()) return false;
  CountBaseline();
  return true;
}

bool PulseTestServer::SuspendSource(bool suspended) {
  return CommandOutput(std::string("pactl suspend-source ") + kSource + (suspended ? " 1" : " 0") +
                       " 2>/dev/null")
      .has_value();
}

int PulseTestServer::CountClients() const { return PactlLines("clients"); }

}  // namespace mirn::test
