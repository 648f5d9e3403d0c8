// What the private test servers share: the folder, the feeder of the
// source's pipe, the sink's bytes and the count of clients.
#include "tests/sound_test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/pipewire_test_server.h"
#include "tests/pulse_test_server.h"

namespace mirn::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The smallest pipe Linux makes: half a second of 8 kHz u8 waits in it at
// most while nobody records, so what a recording gets is close to "now".
constexpr int kFifoBytes = 4096;
// Steps a real-time source's pipe may hold: more means nobody reads it.
constexpr std::size_t kBacklogSteps = 3;
// How long the server may take to make its pipe.
constexpr auto kPipeLimit = std::chrono::seconds(30);

}  // namespace

std::unique_ptr<SoundTestServer> SoundTestServer::Start(ServerKind kind, Options options) {
  if (kind == ServerKind::kPipeWire) return std::make_unique<PipeWireTestServer>(std::move(options));
  return std::make_unique<PulseTestServer>(std::move(options));
}

std::string SoundTestServer::Missing(ServerKind kind) {
  return kind == ServerKind::kPipeWire ? PipeWireTestServer::Missing() : PulseTestServer::Missing();
}

const char* SoundTestServer::Name(ServerKind kind) {
  return kind == ServerKind::kPipeWire ? "PipeWire" : "PulseAudio";
}

bool SoundTestServer::Parse(const std::string& name, ServerKind* kind) {
  if (name == "pulseaudio") *kind = ServerKind::kPulseAudio;
  else if (name == "pipewire") *kind = ServerKind::kPipeWire;
  else return false;
  return true;
}

SoundTestServer::SoundTestServer(ServerKind kind, Options options)
    : options_(std::move(options)), kind_(kind) {}

SoundTestServer::~SoundTestServer() {
  StopFeeding();
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

bool SoundTestServer::MakeFolder(const char* prefix) {
  std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "_XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "no temporary folder";
    return false;
  }
  dir_ = pattern;
  if (!options_.source_file.empty()) {
    std::ifstream in(options_.source_file, std::ios::binary);
    source_.assign(std::istreambuf_iterator<char>(in), {});
    if (source_.empty()) {
      error_ = "no bytes in " + options_.source_file.string();
      return false;
    }
  }
  return true;
}

namespace {

// Opens the pipe the server makes for its source (waiting for it); -1 and
// `error` on failure.
int OpenFifo(const fs::path& fifo, std::string& error) {
  const auto deadline = Clock::now() + kPipeLimit;
  struct stat info {};
  while (stat(fifo.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) {
    if (Clock::now() > deadline) {
      error = "the server made no pipe for its source";
      return -1;
    }
    usleep(10'000);
  }
  const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open the source's pipe: " + std::string(std::strerror(errno));
    return -1;
  }
  fcntl(fd, F_SETPIPE_SZ, kFifoBytes);
  return fd;
}

}  // namespace

bool SoundTestServer::StartFeeding(Pacing pacing) {
  // The server holds the pipe open itself, so it never reads an end of file;
  // where a restarted server reuses the pipe, this end stays open across the
  // restart and no byte is lost.
  fifo_ = OpenFifo(Fifo(), error_);
  if (fifo_ < 0) return false;
  feeder_ = std::thread(&SoundTestServer::Feed, this, pacing);
  return true;
}

bool SoundTestServer::ReopenFifo() {
  const int fd = OpenFifo(Fifo(), error_);
  if (fd < 0) return false;
  dup2(fd, fifo_);  // at once, under the feeder's writes
  close(fd);
  return true;
}

void SoundTestServer::StopFeeding() {
  stop_feeding_.store(true, std::memory_order_release);
  if (feeder_.joinable()) feeder_.join();
  if (fifo_ >= 0) close(fifo_);
  fifo_ = -1;
}

// Writes the source's bytes into the pipe in steps of 10 ms: at the source's
// rate, or as fast as the pipe takes them. While the pipe is full (nobody
// records; at the source's rate, a few steps make it full) or has no reader
// (the server is down) it waits and then goes on from where it was, so the
// bytes stay in order with none left out. Kills
// the server once its lifetime has passed.
void SoundTestServer::Feed(Pacing pacing) {
  // A server gone makes writes fail with EPIPE; the signal must not end the test.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

  const std::size_t step = kRate / 100;
  std::vector<std::uint8_t> chunk(pacing == Pacing::kKeepFull ? kFifoBytes : step);
  const auto end_of_life = Clock::now() + options_.lifetime;
  auto paced_since = Clock::now();
  std::uint64_t fed = 0;
  std::uint64_t fed_then = 0;  // bytes written when the pacing last began
  while (!stop_feeding_.load(std::memory_order_acquire)) {
    const auto now = Clock::now();
    if (now > end_of_life) {
      std::fprintf(stderr, "SoundTestServer: lifetime over, killing the server\n");
      if (pid() > 0) kill(pid(), SIGKILL);
      return;
    }
    // A real-time source is a microphone: what nobody reads is not kept for
    // later. A pipe that still holds a few steps has no reader just now
    // (the server is suspended or starting): the bytes of this step wait.
    int queued = 0;
    if (pacing == Pacing::kRealTime && ioctl(fifo_, FIONREAD, &queued) == 0 &&
        queued >= static_cast<int>(kBacklogSteps * step)) {
      paced_since = now;
      fed_then = fed;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - paced_since);
    const std::uint64_t due = pacing == Pacing::kKeepFull
                                  ? fed + chunk.size()
                                  : fed_then + std::uint64_t{kRate} *
                                                   static_cast<std::uint64_t>(elapsed.count()) /
                                                   1'000'000;
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
    if (pacing == Pacing::kKeepFull) {
      pollfd writable{fifo_, POLLOUT, 0};
      // POLLERR at once while the pipe has no reader: wait a step then.
      if (poll(&writable, 1, 10) != 1 || (writable.revents & POLLOUT) == 0) poll(nullptr, 0, 10);
    } else {
      poll(nullptr, 0, 10);
    }
  }
}

std::uint64_t SoundTestServer::Taken() const {
  // A write between the two looks at the count shows as a change of it; a
  // write whose count is not yet published makes the pipe look fuller, so
  // the answer is only ever too low.
  for (;;) {
    const std::uint64_t fed = Fed();
    int queued = 0;
    if (fifo_ < 0 || ioctl(fifo_, FIONREAD, &queued) != 0) return 0;
    if (Fed() == fed) return fed - std::min<std::uint64_t>(fed, static_cast<std::uint64_t>(queued));
  }
}

std::vector<std::uint8_t> SoundTestServer::SinkBytes() const {
  std::ifstream in(dir_ / "sink.raw", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

int SoundTestServer::SinkFile() const {
  return open((dir_ / "sink.raw").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

int SoundTestServer::Clients() const {
  const int count = CountClients();
  return count < 0 ? -1 : count - baseline_;
}

}  // namespace mirn::test
