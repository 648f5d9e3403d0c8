// A take's first and last byte against its Start and Stop, beside arecord
// started and then stopped by a signal. The source plays a known sequence in
// real time, any few bytes of which name their place in it; a thread follows
// how far the server has read the source's pipe, which gives each byte its
// moment: when the server took it (the last byte of what it took at once at
// that time, each earlier one 1/8000 s before the next, as a capture
// period's bytes are). So a byte "from before the Start" is one the server
// had taken, or was taking, before the Start call. Then takes in fresh
// processes (for breaks), and takes across a server restart.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "MirnDLL.h"
#include "benchmarks/parts.h"

namespace mirn::bench {

namespace {

constexpr std::size_t kSourceBytes = 60 * SoundTestServer::kRate;  // a minute, looped
constexpr double kRate = SoundTestServer::kRate;
constexpr std::uint8_t kSilence = 128;

Bytes SourceBytes(std::uint64_t seed) { return KnownBytes(kSourceBytes, seed, AudibleValues()); }

// How far the server had read the source at each moment it moved on.
class SourceClock {
 public:
  SourceClock() : thread_([this] { Follow(); }) {}
  ~SourceClock() {
    stop_.store(true);
    thread_.join();
  }

  // When byte n of the source reached the server; nullopt-free: a byte not
  // yet taken gets the last moment seen.
  Clock::time_point Moment(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    const auto it = std::ranges::upper_bound(steps_, n, {}, &Step::taken);
    if (it == steps_.end()) return steps_.empty() ? Clock::now() : steps_.back().when;
    const double before = static_cast<double>(it->taken - 1 - n) / kRate;
    return it->when - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(before));
  }
  std::uint64_t Taken() const { return Server().Taken(); }

 private:
  struct Step {
    Clock::time_point when;
    std::uint64_t taken;
  };

  // Polls every quarter of a millisecond; a move is put at the look that saw
  // it, so a moment is never earlier than the byte reached the server.
  void Follow() {
    std::uint64_t last = Server().Taken();
    while (!stop_.load()) {
      const std::uint64_t taken = Server().Taken();
      const auto now = Clock::now();
      if (taken > last) {
        std::lock_guard lock(mutex_);
        steps_.push_back({now, taken});
        last = taken;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
  }

  std::mutex mutex_;
  std::vector<Step> steps_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A stretch of a take that is the source without a break.
struct Run {
  std::size_t at;      // its first byte's place in the take
  std::uint64_t byte;  // and in the source (bytes fed since the start)
  std::size_t length;
};

// What a take held, and when against its Start and Stop.
struct Take {
  Clock::time_point start, stop;
  Bytes bytes;
  std::vector<Run> runs;
  std::size_t foreign = 0;  // neither silence nor the source
};

class Decoder {
 public:
  explicit Decoder(const Bytes& source) : source_(source), index_(Wrapped(source)) {}

  // Finds the source's runs in the take; `taken` (how far the server had
  // read at the stop) tells which pass of the looped source a run is from.
  void Decode(Take& take, std::uint64_t taken) const {
    const Bytes& b = take.bytes;
    const std::size_t m = source_.size();
    std::size_t i = 0;
    while (i < b.size()) {
      if (b[i] == kSilence) {
        ++i;
        continue;
      }
      const long p = i + kWindow <= b.size() ? index_.Find(&b[i]) : -1;
      if (p < 0) {
        take.foreign += 1;
        ++i;
        continue;
      }
      std::size_t length = 0;
      while (i + length < b.size() && b[i + length] == source_[(static_cast<std::size_t>(p) + length) % m]) {
        ++length;
      }
      // The pass whose byte lies nearest where the take's end puts it.
      const double guess = static_cast<double>(taken) - static_cast<double>(b.size() - i);
      const double pass = std::round((guess - static_cast<double>(p)) / static_cast<double>(m));
      const double byte = std::max(0.0, static_cast<double>(p) + pass * static_cast<double>(m));
      take.runs.push_back({i, static_cast<std::uint64_t>(byte), length});
      i += length;
    }
  }

 private:
  static Bytes Wrapped(const Bytes& source) {
    Bytes wrapped = source;
    wrapped.insert(wrapped.end(), source.begin(), source.begin() + kWindow - 1);
    return wrapped;
  }
  const Bytes& source_;
  WindowIndex index_;
};

// Figures of a set of takes.
struct Edges {
  std::vector<double> first;      // first byte's moment - Start, ms
  std::vector<double> last;       // Stop - last byte's moment, ms
  std::vector<double> overlong;   // take's length - time it ran, ms
  int early = 0;                  // takes with a byte from before their Start
  int breaks = 0;                 // discontinuities within takes
  int empty = 0;                  // takes with no byte of the source
  std::size_t foreign = 0;

  void Add(const Take& take, SourceClock& clock) {
    if (std::getenv("MIRN_BENCH_VERBOSE") != nullptr) {
      std::printf("take of %zu bytes over %.1f ms, %zu foreign:", take.bytes.size(), Millis(take.stop - take.start), take.foreign);
      for (const Run& run : take.runs) {
        std::printf(" [at %zu: byte %llu x%zu, %.1f..%.1f ms]", run.at, static_cast<unsigned long long>(run.byte), run.length,
                    Millis(clock.Moment(run.byte) - take.start), Millis(clock.Moment(run.byte + run.length - 1) - take.start));
      }
      if (take.runs.empty()) {
        std::map<int, int> values;
        for (const std::uint8_t b : take.bytes) ++values[b];
        for (const auto& [v, c] : values) std::printf(" %d:%d", v, c);
      }
      std::printf("\n");
    }
    foreign += take.foreign;
    if (take.runs.empty()) {
      ++empty;
      return;
    }
    breaks += static_cast<int>(take.runs.size()) - 1;
    bool before = false;
    for (const Run& run : take.runs) before = before || clock.Moment(run.byte) < take.start;
    early += before;
    const Run& tail = take.runs.back();
    first.push_back(Millis(clock.Moment(take.runs.front().byte) - take.start));
    last.push_back(Millis(take.stop - clock.Moment(tail.byte + tail.length - 1)));
    overlong.push_back(static_cast<double>(take.bytes.size()) / kRate * 1000 - Millis(take.stop - take.start));
  }

  void Report(const std::string& who, int takes) const {
    const double earliest = first.empty() ? 0 : *std::ranges::min_element(first);
    std::printf("%-8s %3d takes: first byte %.1f ms after Start (median), %.1f latest, %.1f earliest; "
                "Stop %.1f ms after the last byte (median), %.1f worst; "
                "%d with a byte from before the Start; %d breaks; %d empty; %zu foreign bytes",
                who.c_str(), takes, Median(first), Worst(first), earliest, Median(last), Worst(last),
                early, breaks, empty, foreign);
    if (!overlong.empty()) std::printf("; length - time ran %.1f ms (median)", Median(overlong));
    std::printf("\n");
    const std::string key = who + " takes: ";
    SetFigure(key + "count", takes);
    SetFigure(key + "first byte after Start, median ms", Median(first));
    SetFigure(key + "first byte after Start, worst ms", Worst(first));
    SetFigure(key + "first byte after Start, earliest ms", earliest);
    SetFigure(key + "Stop after last byte, median ms", Median(last));
    SetFigure(key + "Stop after last byte, worst ms", Worst(last));
    SetFigure(key + "with a byte before the Start", early);
    SetFigure(key + "breaks", breaks);
    SetFigure(key + "empty", empty);
    SetFigure(key + "length - time ran, median ms", Median(overlong));
  }
};

Take LibraryTake(milliseconds length) {
  Take take;
  take.start = Clock::now();
  SoundRecordStart();
  Pause(length);
  take.stop = Clock::now();
  SoundRecordStop();
  take.bytes = StoreTake();
  return take;
}

Take ArecordTake(milliseconds length) {
  const fs::path file = Server().dir() / "arecord_take.raw";
  Take take;
  take.start = Clock::now();
  const pid_t pid = SpawnQuiet({"arecord", "-q", "-f", "U8", "-r", "8000", "-c", "1", "-t", "raw", file.string()});
  Pause(length);
  take.stop = Clock::now();
  if (pid > 0) {
    kill(pid, SIGINT);
    WaitExit(pid, std::chrono::seconds(10));
  }
  std::ifstream in(file, std::ios::binary);
  take.bytes.assign(std::istreambuf_iterator<char>(in), {});
  return take;
}

// A take's file from a fresh process: its Start and Stop (steady clock,
// which every process shares), then its bytes.
Take ReadChildTake(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::int64_t ticks[2] = {0, 0};
  in.read(reinterpret_cast<char*>(ticks), sizeof ticks);
  Take take;
  take.start = Clock::time_point(Clock::duration(ticks[0]));
  take.stop = Clock::time_point(Clock::duration(ticks[1]));
  take.bytes.assign(std::istreambuf_iterator<char>(in), {});
  return take;
}

// A 6 s take with the server killed at 1.5 s and back from 2.5 s, then a
// 2 s take: both as long as they ran, with the sound before and after the
// outage kept.
void TakesAcrossARestart(const Decoder& decoder, SourceClock& clock) {
  Take take;
  take.start = Clock::now();
  SoundRecordStart();
  PauseUntil(take.start + milliseconds(1500));
  const auto killed = Clock::now();
  Server().Stop();
  PauseUntil(take.start + milliseconds(2500));
  const bool back = Server().Restart();
  const auto restarted = Clock::now();
  PauseUntil(take.start + milliseconds(6000));
  take.stop = Clock::now();
  SoundRecordStop();
  take.bytes = StoreTake();
  decoder.Decode(take, clock.Taken());
  bool before = false, after = false;
  for (const Run& run : take.runs) {
    before = before || (run.length > 800 && clock.Moment(run.byte) < killed);
    after = after || (run.length > 800 && clock.Moment(run.byte + run.length - 1) > restarted);
  }
  const Take next = LibraryTake(milliseconds(2000));
  std::printf("6 s take, server killed at 1.5 s and %s at %.1f s: %zu bytes (sound before the "
              "outage %s, after it %s); the 2 s take after it: %zu bytes\n",
              back ? "back" : "NOT back", Millis(restarted - take.start) / 1000, take.bytes.size(),
              before ? "kept" : "LOST", after ? "kept" : "LOST", next.bytes.size());
  SetFigure("restart: 6 s take bytes", static_cast<double>(take.bytes.size()));
  SetFigure("restart: sound before and after kept", before && after);
  SetFigure("restart: 2 s take after it bytes", static_cast<double>(next.bytes.size()));
}

}  // namespace

fs::path WriteTakeSource(std::uint64_t seed) {
  const fs::path file = fs::temp_directory_path() / ("mirn_bench_source_" + std::to_string(getpid()) + ".raw");
  const Bytes bytes = SourceBytes(seed);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return file;
}

int TakeChild(int millis, const std::string& file) {
  const auto start = Clock::now();
  SoundRecordStart();
  Pause(milliseconds(millis));
  const auto stop = Clock::now();
  SoundRecordStop();
  const Bytes bytes = StoreTake();
  std::ofstream out(file, std::ios::binary);
  const std::int64_t ticks[2] = {start.time_since_epoch().count(), stop.time_since_epoch().count()};
  out.write(reinterpret_cast<const char*>(ticks), sizeof ticks);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return out ? 0 : 1;
}

void RunTakes(const RunOptions& options) {
  const Bytes source = SourceBytes(options.seed);
  const Decoder decoder(source);
  SourceClock clock;
  std::printf("\n== Takes against their Start and Stop through %s, beside arecord stopped by SIGINT\n",
              SoundTestServer::Name(Kind()));
  // Through PulseAudio the source's pipe is read only while something
  // records, and what waited in it is taken at once when a capture begins:
  // a listener keeps it read. PipeWire reads the pipe at the graph's pace
  // whenever something records, so a waiting byte is taken at its moment
  // anyway (and a second capture of the pipe source there gets silence).
  const pid_t listener =
      Kind() == ServerKind::kPulseAudio
          ? SpawnQuiet({"arecord", "-q", "-f", "U8", "-r", "8000", "-c", "1", "-t", "raw",
                        "--period-time=128000", "--buffer-time=512000", "/dev/null"})
          : -1;
  Pause(milliseconds(500));  // until it reads
  std::mt19937_64 random(options.seed);
  auto draw = [&](int low, int high) { return milliseconds(std::uniform_int_distribution<int>(low, high)(random)); };
  Edges ours, theirs;
  for (int i = 0; i < options.takes; ++i) {
    const milliseconds length = draw(300, 2000);
    Take take = LibraryTake(length);
    decoder.Decode(take, clock.Taken());
    ours.Add(take, clock);
    Pause(draw(0, 400));
    Take reference = ArecordTake(length);
    decoder.Decode(reference, clock.Taken());
    theirs.Add(reference, clock);
    Pause(draw(0, 400));
  }
  ours.Report("library", options.takes);
  theirs.Report("arecord", options.takes);
  if (listener > 0) {
    kill(listener, SIGTERM);
    WaitExit(listener, std::chrono::seconds(5));
  }

  // Each the first take of a process, with nothing else recording.
  Edges first;
  const fs::path file = Server().dir() / "first_take.raw";
  int failed = 0;
  for (int i = 0; i < options.first_takes; ++i) {
    Pause(milliseconds(400));
    if (RunSelf({kTakeChild, "1000", file.string()}, std::chrono::seconds(30)) != 0) {
      ++failed;
      continue;
    }
    Take take = ReadChildTake(file);
    decoder.Decode(take, clock.Taken());
    first.Add(take, clock);
  }
  if (options.first_takes > 0) {
    first.Report("first", options.first_takes);
    if (failed > 0) std::printf("first takes: %d processes failed\n", failed);
    SetFigure("first takes: processes failed", failed);
  }
  TakesAcrossARestart(decoder, clock);
}

}  // namespace mirn::bench
