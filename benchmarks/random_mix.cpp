// A seeded random mix of the seven exports at rates from 5512 to 22050 with
// pauses of 0 to 400 ms, as a host that calls anything in any order would:
// each export's latency in the mix beside that of a bare ALSA output open
// made in the same mix (at the same rates, between the same calls). And a
// long mix without the bare opens, over which the process's memory and
// threads are followed.
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "benchmarks/parts.h"

namespace mirn::bench {

namespace {

enum class Step { kStart, kStop, kPlay, kSave, kLoad, kTone, kDllStop, kBareOpen };
constexpr int kSteps = 8;

const char* Name(Step step) {
  switch (step) {
    case Step::kStart: return "mix SoundRecordStart";
    case Step::kStop: return "mix SoundRecordStop";
    case Step::kPlay: return "mix SoundRecordPlay(rate)";
    case Step::kSave: return "mix SoundRecordSave";
    case Step::kLoad: return "mix SoundRecordLoad";
    case Step::kTone: return "mix ToneCreate(rate)";
    case Step::kDllStop: return "mix DLLStop";
    case Step::kBareOpen: return "mix bare output open";
  }
  return "";
}

// The files the mix loads: 0.1 s, 1 s and 5 s at 8000/s.
constexpr std::uint32_t kLoadSizes[] = {800, 8000, 40'000};

class Mix {
 public:
  Mix(std::uint64_t seed, bool bare_opens) : random_(seed), bare_opens_(bare_opens) {
    for (const std::uint32_t size : kLoadSizes) {
      files_.push_back(WriteTake("mix" + std::to_string(size) + ".wav", Bytes(size, 0x70)));
    }
  }

  // Draws the next step and runs it; returns how long the call took (us).
  double Next(Step* step) {
    *step = static_cast<Step>(Draw(0, bare_opens_ ? kSteps - 1 : kSteps - 2));
    const auto rate = static_cast<std::int32_t>(Draw(5512, 22050));
    // Made before the timing, as a host makes its strings before the call.
    AutomationString path = nullptr;
    if (*step == Step::kSave) path = AutomationStringFromUtf8((Server().dir() / "mix_saved.wav").c_str());
    if (*step == Step::kLoad) path = AutomationStringFromUtf8(files_[Draw(0, files_.size() - 1)].c_str());
    snd_pcm_t* pcm = nullptr;
    std::int32_t result = 0;
    const auto start = Clock::now();
    switch (*step) {
      case Step::kStart: result = SoundRecordStart(); break;
      case Step::kStop: result = SoundRecordStop(); break;
      case Step::kPlay: result = SoundRecordPlay(rate); break;
      case Step::kSave: result = SoundRecordSave(path, rate); break;
      case Step::kLoad: result = SoundRecordLoad(path); break;
      case Step::kTone: result = ToneCreate(rate); break;
      case Step::kDllStop: result = DLLStop(); break;
      case Step::kBareOpen: result = BareOpen(&pcm, false, static_cast<unsigned>(rate)); break;
    }
    const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (pcm != nullptr) snd_pcm_close(pcm);
    failures_ += result == 33 || result < 0;
    return micros;
  }

  milliseconds Pause() { return milliseconds(Draw(0, 400)); }
  int failures() const { return failures_; }

 private:
  std::uint64_t Draw(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
  }

  std::mt19937_64 random_;
  bool bare_opens_;
  std::vector<fs::path> files_;
  int failures_ = 0;
};

}  // namespace

void RunMix(const RunOptions& options) {
  Mix mix(options.seed, true);
  std::map<Step, std::vector<double>> times;
  for (int i = 0; i < options.mix_calls; ++i) {
    Step step{};
    const double micros = mix.Next(&step);
    times[step].push_back(micros);
    Pause(mix.Pause());
  }
  SoundRecordStop();
  std::printf("\n== Random mix through %s: %d calls (seed %llu), %d returned 33 or -1 (a bare open an error)\n",
              SoundTestServer::Name(Kind()), options.mix_calls,
              static_cast<unsigned long long>(options.seed), mix.failures());
  const Figures bare = Percentiles(times[Step::kBareOpen]);
  for (const auto& [step, micros] : times) {
    const Figures f = Percentiles(micros);
    SetRow(Name(step), f);
    PrintRow(std::string(Name(step)) + " (" + std::to_string(micros.size()) + ")", f);
  }
  for (const Step step : {Step::kPlay, Step::kTone, Step::kStart}) {
    const Figures f = Percentiles(times[step]);
    std::printf("%s / bare open: p50 %.2fx, p99 %.2fx\n", Name(step), f.p50 / bare.p50, f.p99 / bare.p99);
  }
}

void RunMemory(const RunOptions& options) {
  Mix mix(options.seed + 1, false);
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(options.memory_seconds);
  // The reference the growth is taken from: once the first streams have
  // loaded what the server's client needs.
  const auto settled = start + std::min<Clock::duration>(std::chrono::seconds(10), (end - start) / 10);
  struct Point {
    double seconds, rss;
    int threads;
  };
  std::vector<Point> curve = {{0, RssMegabytes(), Threads()}};
  double settled_rss = -1;
  int calls = 0;
  auto next_sample = start + std::chrono::seconds(1);
  while (Clock::now() < end) {
    Step step{};
    mix.Next(&step);
    ++calls;
    Pause(mix.Pause());
    const auto now = Clock::now();
    if (now >= next_sample) {
      curve.push_back({std::chrono::duration<double>(now - start).count(), RssMegabytes(), Threads()});
      if (settled_rss < 0 && now >= settled) settled_rss = curve.back().rss;
      next_sample += std::chrono::seconds(1);
    }
  }
  SoundRecordStop();
  curve.push_back({std::chrono::duration<double>(Clock::now() - start).count(), RssMegabytes(), Threads()});
  if (settled_rss < 0) settled_rss = curve.front().rss;
  std::printf("\n== Memory over a %d s random mix through %s (%d calls, no bare opens)\n",
              options.memory_seconds, SoundTestServer::Name(Kind()), calls);
  double most = 0;
  int most_threads = 0;
  for (std::size_t i = 0; i < curve.size(); ++i) {
    most = std::max(most, curve[i].rss);
    most_threads = std::max(most_threads, curve[i].threads);
    // A few points of the curve: about ten, and the last.
    if (i % std::max<std::size_t>(1, curve.size() / 10) == 0 || i + 1 == curve.size()) {
      std::printf("  %6.0f s  RSS %7.1f MB  %3d threads\n", curve[i].seconds, curve[i].rss, curve[i].threads);
    }
  }
  const double growth = curve.back().rss - settled_rss;
  std::printf("RSS %.1f MB at the start, %.1f MB once settled, %.1f MB at the end (most %.1f): "
              "growth %+.1f MB; threads at most %d, %d at the end\n",
              curve.front().rss, settled_rss, curve.back().rss, most, growth, most_threads,
              curve.back().threads);
  SetFigure("memory: seconds", curve.back().seconds);
  SetFigure("memory: RSS at start MB", curve.front().rss);
  SetFigure("memory: RSS settled MB", settled_rss);
  SetFigure("memory: RSS at end MB", curve.back().rss);
  SetFigure("memory: RSS most MB", most);
  SetFigure("memory: RSS growth MB", growth);
  SetFigure("memory: most threads", most_threads);
  SetFigure("memory: threads at end", curve.back().threads);
}

}  // namespace mirn::bench
