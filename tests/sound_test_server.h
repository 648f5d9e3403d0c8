// A private sound server for tests, with no sound hardware and nothing of the
// machine's sound set-up used or changed: a sink whose bytes a test reads, a
// source playing bytes the test knows in real time, all in a fresh folder of
// its own. ALSA's "default" and the server's own clients of the process are
// pointed at it. PulseAudio and PipeWire each implement it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace mirn::test {

enum class ServerKind { kPulseAudio, kPipeWire };

class SoundTestServer {
 public:
  struct Options {
    // Bytes the source plays (u8, 8000 Hz, mono), looped; empty:
    // SourceByte(0), SourceByte(1), ...
    std::filesystem::path source_file;
    // Records what the sink plays into sink.raw in the folder.
    bool record_sink = false;
    // The server is killed once this has passed, whatever the test does.
    std::chrono::seconds lifetime{900};
  };

  static constexpr const char* kSink = "mirn_sink";
  static constexpr const char* kSource = "mirn_source";
  static constexpr unsigned kRate = 8000;  // u8 mono: bytes per second

  // Starts a server of the kind and waits (boundedly) until it takes clients,
  // then points this process and its children at it. Call before anything in
  // the process uses ALSA or the server's own client library. On failure
  // ok() is false and error() says why, with the server's log.
  static std::unique_ptr<SoundTestServer> Start(ServerKind kind, Options options);
  static std::unique_ptr<SoundTestServer> Start(ServerKind kind) { return Start(kind, Options()); }
  // Why this machine cannot run a server of the kind (a program or plugin
  // missing); empty when it can.
  static std::string Missing(ServerKind kind);
  static const char* Name(ServerKind kind);
  // "pulseaudio" or "pipewire" as named on command lines; false if neither.
  static bool Parse(const std::string& name, ServerKind* kind);

  // Stops the server and the sink recorder and removes the folder.
  virtual ~SoundTestServer();
  SoundTestServer(const SoundTestServer&) = delete;
  SoundTestServer& operator=(const SoundTestServer&) = delete;

  ServerKind kind() const { return kind_; }
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::filesystem::path& dir() const { return dir_; }
  // The server's main process (-1 while stopped).
  pid_t pid() const { return pid_.load(std::memory_order_acquire); }

  // Kills the server (and its session manager) at once, as a crash does:
  // it goes away under its clients. The source's bytes wait for it.
  virtual void Stop() = 0;
  // Starts it again on the same socket and folder; the source goes on with
  // the bytes after the last one it played. False (and error()) on failure.
  virtual bool Restart() = 0;
  // Suspends or resumes the source, where the server offers that; false
  // where it does not.
  virtual bool SuspendSource(bool suspended) = 0;

  // Byte n of the generated source: never 0, so it stands out from a cleared
  // store, and of a prime period, so a byte lost or repeated anywhere shows.
  static std::uint8_t SourceByte(std::uint64_t n) { return static_cast<std::uint8_t>(1 + n % 251); }
  // Bytes written into the source so far: they play in order from byte 0.
  std::uint64_t Fed() const { return fed_.load(std::memory_order_acquire); }
  // Bytes of the source the server has read from its pipe so far: Fed() less
  // what still waits in the pipe. Never more than it has read; a benchmark
  // follows it to learn when each byte reached the server.
  std::uint64_t Taken() const;
  // What the sink has played so far (empty unless record_sink).
  std::vector<std::uint8_t> SinkBytes() const;
  // Clients connected now beyond those the server had once started (its
  // session manager, the sink's recorder); -1 when it cannot be asked.
  int Clients() const;

 protected:
  // How the feeder keeps the source's pipe: at the source's rate (the
  // server reads what is there), or full (the server's graph keeps time and
  // fills with silence what the pipe lacks).
  enum class Pacing { kRealTime, kKeepFull };
  SoundTestServer(ServerKind kind, Options options);
  // Makes the folder and reads the source file; false (and error_) on failure.
  bool MakeFolder(const char* prefix);
  // Opens the source's pipe (made by the server) and starts the feeder.
  bool StartFeeding(Pacing pacing);
  // Opens the source's pipe again where a restarted server made it anew;
  // the feeder goes on writing into it.
  bool ReopenFifo();
  // Counts the server's clients now; -1 when it cannot be asked.
  virtual int CountClients() const = 0;
  // Measures what Clients() leaves out, once the server is up.
  void CountBaseline() { baseline_ = CountClients(); }
  // Opens sink.raw to append what the sink's recorder prints.
  int SinkFile() const;
  // Ends the feeder; the servers' own destructors end their processes.
  void StopFeeding();
  // The process the feeder kills once the lifetime is over.
  void SetPid(pid_t pid) { pid_.store(pid, std::memory_order_release); }
  std::filesystem::path Fifo() const { return dir_ / "source.fifo"; }

  const Options options_;
  std::string error_;
  std::filesystem::path dir_;

 private:
  void Feed(Pacing pacing);

  const ServerKind kind_;
  std::atomic<pid_t> pid_{-1};
  int baseline_ = 0;
  std::vector<std::uint8_t> source_;  // the looped file, if any
  std::atomic<std::uint64_t> fed_{0};
  std::atomic<bool> stop_feeding_{false};
  int fifo_ = -1;
  std::thread feeder_;
};

}  // namespace mirn::test
