// What every part of the sound-server benchmark shares: the private server
// of the process, loads into the store, the floor of a bare ALSA open,
// percentiles, known byte sequences and the results file each part's process
// writes for the parent that prints them all.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <alsa/asoundlib.h>

#include "tests/sound_test_server.h"

namespace mirn::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using mirn::test::ServerKind;
using mirn::test::SoundTestServer;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// What a run is asked to do: the parent parses it from its command line and
// hands it to every part's process.
// ---------------------------------------------------------------------------
struct RunOptions {
  std::string servers = "pipewire,pulseaudio";
  std::string parts = "rows,mix,host,takes,plays,memory,unload";
  std::uint64_t seed = 1;
  int mix_calls = 400;        // calls of the random mix, bare opens included
  int memory_seconds = 180;   // the long mix that RSS is followed over
  int host_rounds = 30;       // rounds of each host pattern
  int takes = 24;             // takes of the library and of arecord each
  int first_takes = 10;       // takes each in a fresh process
  int plays = 6;              // plays and tone replays at the sink each
  int unload_rounds = 3;      // unloads right after each export
  bool Has(const std::string& part) const;  // in `parts`
  bool HasServer(const std::string& server) const;
  // NAME VALUE pairs as on the command line ("--mix-calls 400"); consumes
  // what it knows from argv and leaves the rest.
  bool Parse(std::vector<std::string>& args, std::string* error);
  std::vector<std::string> Args() const;
};

// ---------------------------------------------------------------------------
// Results of this process: latency rows and single figures.
// ---------------------------------------------------------------------------
struct Figures {
  double p50 = 0;  // microseconds
  double p99 = 0;
};
// p50 and p99 of call times in microseconds (p99: the value below which 99%
// of the calls lie, so of 50 calls the second slowest).
Figures Percentiles(std::vector<double> micros);
double Median(std::vector<double> values);
double Worst(const std::vector<double>& values);  // the largest; 0 when empty

struct Results {
  std::map<std::string, Figures> rows;
  std::map<std::string, double> figures;
};
// This process's; WriteResults puts them where MIRN_BENCH_RESULTS says.
Results& Mine();
void SetRow(const std::string& key, Figures figures);
void SetFigure(const std::string& key, double value);
void WriteResults();
void ReadResults(const fs::path& file, Results& into);
// Prints a row as the summaries do.
void PrintRow(const std::string& key, const Figures& figures);

// ---------------------------------------------------------------------------
// The server and the store.
// ---------------------------------------------------------------------------

// Chooses the server this process runs, and its options, before the first
// Server() (which starts it, before anything uses ALSA).
void UseServer(ServerKind kind, SoundTestServer::Options options = {});
ServerKind Kind();
SoundTestServer& Server();

void Pause(milliseconds time);
void PauseUntil(Clock::time_point when);
double Millis(Clock::duration duration);

// Loads `size` bytes a little off silence into the store.
void Load(std::uint32_t size);
// Writes `data` as a file SoundRecordLoad takes (52-byte header, data size
// at offset 48) and returns its path.
fs::path WriteTake(const std::string& name, const Bytes& data);
// Loads such a file; returns what SoundRecordLoad returned.
std::int32_t LoadFile(const fs::path& path);
// What the store holds of the last take (RecordedLength bytes).
Bytes StoreTake();

// One bare open of "default" at a rate, set up as the device sets it up,
// and prepared: the floor that opens through the library are held against.
int BareOpen(snd_pcm_t** pcm, bool capture, unsigned rate);

// Bytes that never repeat within `size` (any window of kWindow bytes names
// one position), drawn from `values` by a seeded generator.
inline constexpr std::size_t kWindow = 6;
Bytes KnownBytes(std::size_t size, std::uint64_t seed, const std::vector<std::uint8_t>& values);
// Every byte value but silence (128) and 0.
std::vector<std::uint8_t> AudibleValues();
// Values at least 68 from silence and clear of the ends: loud, never clipped.
std::vector<std::uint8_t> LoudValues();

// Where each window of a byte sequence lies in it (windows seen twice are
// left out).
class WindowIndex {
 public:
  explicit WindowIndex(const Bytes& bytes);
  // The position of the window starting at `at` in `bytes`, or -1.
  long Find(const std::uint8_t* at) const;
  const Bytes& bytes() const { return bytes_; }

 private:
  static std::uint64_t Key(const std::uint8_t* at);
  Bytes bytes_;
  std::vector<std::pair<std::uint64_t, long>> positions_;  // sorted by window
};

// ---------------------------------------------------------------------------
// Processes and the machine.
// ---------------------------------------------------------------------------

// Runs a tool (looked up in PATH) with its output and messages thrown away;
// -1 when it cannot be started.
pid_t SpawnQuiet(const std::vector<std::string>& argv);
// Runs this program with `args`; waits at most `limit` (then kills it).
// The exit status as waitpid gives it, or -1 when it was killed for time.
int RunSelf(const std::vector<std::string>& args, std::chrono::seconds limit);
int WaitExit(pid_t pid, std::chrono::seconds limit);

double RssMegabytes();
int Threads();

}  // namespace mirn::bench
