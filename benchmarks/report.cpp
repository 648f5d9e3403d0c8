// The parent's summary (see report.h). Each goal is judged from one
// server's rows and figures alone, so a goal met through one server and not
// the other shows as such.
#include "benchmarks/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <set>

namespace mirn::bench {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

double Fig(const Results& r, const std::string& key) {
  const auto it = r.figures.find(key);
  return it == r.figures.end() ? kMissing : it->second;
}

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string Ms(double micros) {
  return micros < 10'000 ? Format("%.2f ms", micros / 1000) : Format("%.1f ms", micros / 1000);
}

// What one server's run shows for a goal: the figure, and whether it meets
// the goal (nullopt: not measured in this run).
struct Verdict {
  std::string value;
  int met = -1;  // 1 met, 0 not met, -1 not measured
};
Verdict NotRun() { return {"not run", -1}; }

// The slowest p99s of the rows `pick` takes (three, with their rows).
Verdict SlowestP99(const Results& r, const std::function<bool(const std::string&)>& pick, double limit_us) {
  std::vector<std::pair<double, std::string>> picked;
  for (const auto& [key, f] : r.rows) {
    if (pick(key)) picked.emplace_back(f.p99, key);
  }
  if (picked.empty()) return NotRun();
  std::ranges::sort(picked, std::greater<>());
  std::string value;
  for (std::size_t i = 0; i < std::min<std::size_t>(3, picked.size()); ++i) {
    value += (i > 0 ? "; " : "") + Ms(picked[i].first) + " (" + picked[i].second + ")";
  }
  return {value, picked.front().first < limit_us};
}

// Play and Tone in the mix against the bare open there, at p50 or p99.
Verdict MixRatio(const Results& r, bool p99, double limit) {
  const auto play = r.rows.find("mix SoundRecordPlay(rate)");
  const auto tone = r.rows.find("mix ToneCreate(rate)");
  const auto bare = r.rows.find("mix bare output open");
  if (play == r.rows.end() || tone == r.rows.end() || bare == r.rows.end()) return NotRun();
  auto at = [&](const Figures& f) { return p99 ? f.p99 : f.p50; };
  const double play_ratio = at(play->second) / at(bare->second);
  const double tone_ratio = at(tone->second) / at(bare->second);
  return {Format("Play %.2fx, Tone %.2fx (%s, %s; bare open %s)", play_ratio, tone_ratio,
                 Ms(at(play->second)).c_str(), Ms(at(tone->second)).c_str(), Ms(at(bare->second)).c_str()),
          play_ratio <= limit && tone_ratio <= limit};
}

Verdict Unloads(const Results& r) {
  const double rounds = Fig(r, "unload: rounds per export");
  if (std::isnan(rounds)) return NotRun();
  const double crashes = Fig(r, "unload: crashes"), hangs = Fig(r, "unload: hangs"),
               left = Fig(r, "unload: threads left after 3 s"), failed = Fig(r, "unload: reloads failed");
  const double other = Fig(r, "unload: other failures");
  return {Format("%.0f crashes, %.0f hangs, %.0f with threads left after 3 s, %.0f reloads failed, "
                 "%.0f other failures (7 exports x %.0f rounds)",
                 crashes, hangs, left, failed, other, rounds),
          crashes + hangs + left + failed + other == 0};
}

struct Goal {
  const char* figure;
  const char* goal;
  std::function<Verdict(const ServerRun&)> judge;
};

const std::vector<Goal>& Goals() {
  static const std::vector<Goal> goals = {
      {"[22] unload right after each export", "0 crashes, 0 hangs, no thread after 3 s",
       [](const ServerRun& run) { return Unloads(run.results); }},
      {"[22] SoundRecordStart p99, any state, cold or warm", "< 1 ms",
       [](const ServerRun& run) {
         return SlowestP99(run.results, [](const std::string& k) { return k.find("SoundRecordStart") != std::string::npos; }, 1000);
       }},
      {"[22] Play / Tone p99 in the random mix", "<= 1.2 x a bare open's p99",
       [](const ServerRun& run) { return MixRatio(run.results, true, 1.2); }},
      {"[22] Play / Tone p50 in the random mix", "<= 0.5 x a bare open's p50",
       [](const ServerRun& run) { return MixRatio(run.results, false, 0.5); }},
      {"[22] warm call p99, every export, every state", "< 1 ms",
       [](const ServerRun& run) {
         return SlowestP99(run.results, [](const std::string& k) {
           const bool warm = k.size() > 5 && k.compare(k.size() - 5, 5, " warm") == 0;
           // The host's Start comes 0.66 s after its Stop: past the input's keep time.
           const bool host = k.rfind("host ", 0) == 0 && k.find("CPU") == std::string::npos &&
                             k.find("SoundRecordStart") == std::string::npos;
           return warm || host;
         }, 1000);
       }},
      {"[16] any call while the server is down or just back, p99", "< 5 ms",
       [](const ServerRun& run) {
         return SlowestP99(run.results, [](const std::string& k) { return k.rfind("each export, server", 0) == 0; }, 5000);
       }},
      {"[16] 6 s take, server killed 1.5-2.5 s", "48,000 +- 1,000 bytes, sound before and after kept",
       [](const ServerRun& run) -> Verdict {
         const double bytes = Fig(run.results, "restart: 6 s take bytes");
         if (std::isnan(bytes)) return NotRun();
         const bool kept = Fig(run.results, "restart: sound before and after kept") == 1;
         return {Format("%.0f bytes, sound before and after %s", bytes, kept ? "kept" : "NOT kept"),
                 std::abs(bytes - 48000) <= 1000 && kept};
       }},
      {"[16] 2 s take right after it", "16,000 +- 1,000 bytes",
       [](const ServerRun& run) -> Verdict {
         const double bytes = Fig(run.results, "restart: 2 s take after it bytes");
         if (std::isnan(bytes)) return NotRun();
         return {Format("%.0f bytes", bytes), std::abs(bytes - 16000) <= 1000};
       }},
      {"[16] ALSA lines on the host's stderr", "0",
       [](const ServerRun& run) -> Verdict { return {Format("%d", run.alsa_lines), run.alsa_lines == 0}; }},
      {"[24] copies of one play at the sink", "1, at the file's own loudness",
       [](const ServerRun& run) -> Verdict {
         const Results& r = run.results;
         const double plays = Fig(r, "library plays: count");
         if (std::isnan(plays)) return NotRun();
         const double once = Fig(r, "library plays: heard once");
         return {Format("%.0f of %.0f heard once at the file's loudness; %.0f two copies mixed "
                        "(up to %.1f ms apart), %.0f heard twice; loudness up to %.2fx; up to %.0f "
                        "bytes clipped (aplay: %.0f of %.0f once, up to %.2fx)",
                        once, plays, Fig(r, "library plays: two copies mixed"),
                        Fig(r, "library plays: copies apart, worst ms"), Fig(r, "library plays: heard twice"),
                        Fig(r, "library plays: loudness, highest x"), Fig(r, "library plays: clipped bytes, most"),
                        Fig(r, "aplay plays: heard once"), Fig(r, "aplay plays: count"),
                        Fig(r, "aplay plays: loudness, highest x")),
                 once == plays};
       }},
      {"[24] tone replay at the sink", "the three passes in turn",
       [](const ServerRun& run) -> Verdict {
         const double tones = Fig(run.results, "library tones: count");
         if (std::isnan(tones)) return NotRun();
         const double in_turn = Fig(run.results, "library tones: in turn");
         return {Format("%.0f of %.0f in turn (gaps up to %.1f ms)", in_turn, tones,
                        Fig(run.results, "library tones: gap between passes, worst ms")),
                 in_turn == tones};
       }},
      {"[24] bytes of a play lost at its end", "0",
       [](const ServerRun& run) -> Verdict {
         const Results& r = run.results;
         const double most = Fig(r, "library plays: bytes lost at the end, most");
         if (std::isnan(most)) return NotRun();
         const double tone = Fig(r, "library tones: bytes lost at a pass's end, most");
         const double measured = Fig(r, "library plays: heard as one copy");
         const double tones = Fig(r, "library tones: in turn");
         // Only a copy heard alone shows where it ends.
         return {Format("plays: %.0f of the %.0f heard as one copy cut, at most %.0f bytes; passes of the "
                        "%.0f tones in turn: at most %.0f (aplay: %.0f of %.0f cut, at most %.0f)",
                        Fig(r, "library plays: cut at the end"), measured, most, tones, tone,
                        Fig(r, "aplay plays: cut at the end"), Fig(r, "aplay plays: heard as one copy"),
                        Fig(r, "aplay plays: bytes lost at the end, most")),
                 measured + tones == 0 ? -1 : most == 0 && tone == 0};
       }},
      {"[24] last byte of a take before Stop, median / worst", "<= 10 / 20 ms, better than arecord",
       [](const ServerRun& run) -> Verdict {
         const Results& r = run.results;
         const double median = Fig(r, "library takes: Stop after last byte, median ms");
         if (std::isnan(median)) return NotRun();
         const double worst = Fig(r, "library takes: Stop after last byte, worst ms");
         const double theirs = Fig(r, "arecord takes: Stop after last byte, median ms");
         return {Format("%.1f / %.1f ms (arecord %.1f / %.1f ms)", median, worst, theirs,
                        Fig(r, "arecord takes: Stop after last byte, worst ms")),
                 median <= 10 && worst <= 20 && median < theirs};
       }},
      {"[24] first byte of a take after Start, median / latest", "no byte from before the Start",
       [](const ServerRun& run) -> Verdict {
         const Results& r = run.results;
         const double median = Fig(r, "library takes: first byte after Start, median ms");
         if (std::isnan(median)) return NotRun();
         const double early = Fig(r, "library takes: with a byte before the Start");
         const double empty = Fig(r, "library takes: empty");
         return {Format("%.1f / %.1f ms, earliest %.1f; %.0f of %.0f takes with a byte from before it, "
                        "%.0f empty (arecord %.1f / %.1f ms, earliest %.1f; %.0f, %.0f empty)",
                        median, Fig(r, "library takes: first byte after Start, worst ms"),
                        Fig(r, "library takes: first byte after Start, earliest ms"), early,
                        Fig(r, "library takes: count"), empty,
                        Fig(r, "arecord takes: first byte after Start, median ms"),
                        Fig(r, "arecord takes: first byte after Start, worst ms"),
                        Fig(r, "arecord takes: first byte after Start, earliest ms"),
                        Fig(r, "arecord takes: with a byte before the Start"), Fig(r, "arecord takes: empty")),
                 early == 0 && empty == 0};
       }},
      {"[24] RSS growth over a 10-minute mix", "<= 10 MB",
       [](const ServerRun& run) -> Verdict {
         const Results& r = run.results;
         const double growth = Fig(r, "memory: RSS growth MB");
         if (std::isnan(growth)) return NotRun();
         const double seconds = Fig(r, "memory: seconds");
         return {Format("%+.1f MB over %.0f s%s (%.1f MB settled, %.1f at the end, %.1f most; "
                        "threads at most %.0f)",
                        growth, seconds, seconds < 600 ? ", SHORTER than 10 minutes" : "",
                        Fig(r, "memory: RSS settled MB"), Fig(r, "memory: RSS at end MB"),
                        Fig(r, "memory: RSS most MB"), Fig(r, "memory: most threads")),
                 growth <= 10};
       }},
      {"[24] breaks in first takes (500 through PipeWire)", "0",
       [](const ServerRun& run) -> Verdict {
         const Results& r = run.results;
         const double count = Fig(r, "first takes: count");
         if (std::isnan(count)) return NotRun();
         const double breaks = Fig(r, "first takes: breaks"), empty = Fig(r, "first takes: empty");
         return {Format("%.0f breaks, %.0f empty in %.0f first takes", breaks, empty, count),
                 breaks + empty + Fig(r, "first takes: processes failed") == 0};
       }},
  };
  return goals;
}

const char* Mark(int met) { return met == 1 ? "met" : met == 0 ? "NOT MET" : "not measured"; }

template <class Map>
std::vector<std::string> Keys(const Map& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

// One line per key any server has, one cell per server.
void PrintTable(const char* title, const std::vector<ServerRun>& runs, int width,
                const std::function<std::vector<std::string>(const Results&)>& keys,
                const std::function<std::string(const Results&, const std::string&)>& cell) {
  std::set<std::string> all;
  for (const ServerRun& run : runs) {
    for (std::string& key : keys(run.results)) all.insert(std::move(key));
  }
  std::printf("\n== %s\n%-56s", title, "");
  for (const ServerRun& run : runs) std::printf("  %*s", width, run.name.c_str());
  std::printf("\n");
  for (const std::string& key : all) {
    std::printf("%-56s", key.c_str());
    for (const ServerRun& run : runs) std::printf("  %*s", width, cell(run.results, key).c_str());
    std::printf("\n");
  }
}

}  // namespace

void PrintRows(const std::vector<ServerRun>& runs) {
  PrintTable(
      "Every row, p50 / p99 in us, each server with its own bare-open floor", runs, 22,
      [](const Results& r) { return Keys(r.rows); },
      [](const Results& r, const std::string& key) {
        const auto it = r.rows.find(key);
        return it == r.rows.end() ? std::string("-") : Format("%.1f / %.1f", it->second.p50, it->second.p99);
      });
}

void PrintFigures(const std::vector<ServerRun>& runs) {
  PrintTable(
      "Every figure", runs, 12,
      [](const Results& r) { return Keys(r.figures); },
      [](const Results& r, const std::string& key) {
        const double v = Fig(r, key);
        return std::isnan(v) ? std::string("-") : Format("%.1f", v);
      });
}

void PrintGoals(const std::vector<ServerRun>& runs, const Results& files) {
  std::printf("\n== Goals of issues 22 and 24, and issue 16's fault figures (this run)\n");
  std::printf("| figure | goal |");
  for (const ServerRun& run : runs) std::printf(" %s | |", run.name.c_str());
  std::printf("\n|---|---|");
  for (std::size_t i = 0; i < runs.size(); ++i) std::printf("---|---|");
  std::printf("\n");
  for (const Goal& goal : Goals()) {
    std::printf("| %s | %s |", goal.figure, goal.goal);
    for (const ServerRun& run : runs) {
      const Verdict v = goal.judge(run);
      std::printf(" %s | %s |", v.value.c_str(), Mark(v.met));
    }
    std::printf("\n");
  }
  const Verdict v = Unloads(files);
  std::printf("\nunload right after each export, file-backed ALSA device: %s: %s\n", v.value.c_str(), Mark(v.met));
}

}  // namespace mirn::bench
