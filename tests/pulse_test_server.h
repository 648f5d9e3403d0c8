// A private PulseAudio server for tests, with no sound hardware: a null sink,
// a pipe source fed with bytes the test knows, a socket in a fresh folder of
// its own, anonymous auth and a bounded lifetime. ALSA's "default" and every
// PulseAudio client of the process are pointed at it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace mirn::test {

class PulseTestServer {
 public:
  struct Options {
    // The sample format of the source and the sink, in PulseAudio's names.
    std::string format = "u8";
    unsigned rate = 8000;
    unsigned channels = 1;
    // Bytes the source plays, looped; empty: SourceByte(0), SourceByte(1), ...
    std::filesystem::path source_file;
    // Records what the sink plays into sink.raw in the folder (with parec),
    // in the format above.
    bool record_sink = false;
    // The server is killed once this has passed, whatever the test does.
    std::chrono::seconds lifetime{900};
  };

  static constexpr const char* kSink = "mirn_sink";
  static constexpr const char* kSource = "mirn_source";

  // Starts the server and waits (boundedly) until it takes clients, then sets
  // PULSE_SERVER, PULSE_CLIENTCONFIG (no autospawn), PULSE_COOKIE and
  // ALSA_CONFIG_PATH (a "default" PCM and control on the server; nothing of
  // the machine's ALSA configuration applies) for the process and its
  // children. Call before anything in the process uses ALSA or PulseAudio.
  // On failure ok() is false and error() says why, with the server's log.
  PulseTestServer();
  explicit PulseTestServer(Options options);
  // Stops the server and the sink recorder and removes the folder.
  ~PulseTestServer();
  PulseTestServer(const PulseTestServer&) = delete;
  PulseTestServer& operator=(const PulseTestServer&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::filesystem::path& dir() const { return dir_; }
  // What PULSE_SERVER is set to: "unix:" and the socket's path.
  std::string server() const;
  pid_t pid() const { return server_pid_; }

  // Stops the server now (SIGTERM, then SIGKILL if it lingers), as a server
  // that goes away under its clients. The folder stays until destruction.
  void Stop();

  // Byte n of the generated source: never 0, so it stands out from a cleared
  // store, and of a prime period, so a byte lost or repeated anywhere shows.
  static std::uint8_t SourceByte(std::uint64_t n) { return static_cast<std::uint8_t>(1 + n % 251); }
  // Bytes written into the source so far: they play in order from byte 0.
  std::uint64_t Fed() const { return fed_.load(std::memory_order_acquire); }

  // What the sink has played so far (empty unless record_sink).
  std::vector<std::uint8_t> SinkBytes() const;
  // Clients connected to the server now, asked with pactl (not counting it).
  // -1 when the server cannot be asked.
  int Clients() const;

 private:
  void Start();
  void Feed();
  std::filesystem::path Fifo() const { return dir_ / "source.fifo"; }

  Options options_;
  std::string error_;
  std::filesystem::path dir_;
  pid_t server_pid_ = -1;
  pid_t recorder_pid_ = -1;
  std::vector<std::uint8_t> source_;  // the looped file, if any
  std::atomic<std::uint64_t> fed_{0};
  std::atomic<bool> stop_feeding_{false};
  int fifo_ = -1;
  std::thread feeder_;
};

}  // namespace mirn::test
