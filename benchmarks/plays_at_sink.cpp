// Plays as the sink heard them (its recording), beside aplay's of the same
// bytes. A loud file, any few bytes of which name their place in it, played
// with SoundRecordPlay(8000), must be heard once, whole, in order and at its
// own amplitude: no second copy mixed in, nothing clipped, nothing lost at
// its end. Both servers carry 8000/s u8 bytes to the sink's recording
// unchanged, so a copy heard alone is found byte for byte; two copies mixed
// are found as the clipped sum of the file and itself some bytes later. A
// tone replay must be heard as its three passes one after another: the
// store at the tone's rate (resampled by the server), then at 8000/s over
// the scaled length, then over the recorded length.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

#include "MirnDLL.h"
#include "benchmarks/parts.h"

namespace mirn::bench {

namespace {

constexpr std::uint32_t kPlayBytes = 4000;  // half a second at 8000/s
constexpr int kSilence = 128;
constexpr int kToneRate = 5512;             // scale factor 11025 / 5512 = 2
constexpr double kRate = SoundTestServer::kRate;

bool Loud(std::uint8_t b) { return std::abs(b - kSilence) > 8; }

// What the sink recorded from `mark` on, once `bytes` of sound and a second
// of silence after it can have been heard (at most 10 s).
Bytes SinkSince(std::size_t mark, std::size_t bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  Bytes sink = Server().SinkBytes();
  while (sink.size() < mark + bytes + SoundTestServer::kRate && Clock::now() < deadline) {
    Pause(milliseconds(50));
    sink = Server().SinkBytes();
  }
  return sink.size() > mark ? Bytes(sink.begin() + static_cast<long>(mark), sink.end()) : Bytes();
}

// Where in `heard` each exact copy of part of `index`'s bytes lies: offset
// (heard place - file place) to the bytes found at it, for the file places
// [from, to).
std::map<long, std::size_t> Copies(const Bytes& heard, const WindowIndex& index, long from, long to) {
  std::map<long, std::size_t> votes;
  for (std::size_t j = 0; j + kWindow <= heard.size(); ++j) {
    const long p = index.Find(&heard[j]);
    if (p >= from && p < to) ++votes[static_cast<long>(j) - p];
  }
  return votes;
}

long Strongest(const std::map<long, std::size_t>& votes, long except = -1L << 40) {
  long best = -1L << 40;
  std::size_t most = 0;
  for (const auto& [offset, count] : votes) {
    if (offset != except && count > most) {
      best = offset;
      most = count;
    }
  }
  return best;
}

// One copy of file[from, to) at `offset` in `heard`: bytes matched, and
// bytes missing before the first and after the last matched.
struct Copy {
  std::size_t matched = 0, lost_start = 0, lost_end = 0;
};
Copy Match(const Bytes& heard, const Bytes& file, long offset, std::size_t from, std::size_t to) {
  Copy copy;
  long first = -1, last = -1;
  for (std::size_t k = from; k < to; ++k) {
    const long j = offset + static_cast<long>(k);
    if (j >= 0 && j < static_cast<long>(heard.size()) && heard[static_cast<std::size_t>(j)] == file[k]) {
      ++copy.matched;
      if (first < 0) first = static_cast<long>(k);
      last = static_cast<long>(k);
    }
  }
  copy.lost_start = first < 0 ? to - from : static_cast<std::size_t>(first) - from;
  copy.lost_end = last < 0 ? 0 : to - 1 - static_cast<std::size_t>(last);
  return copy;
}

double Rms(const Bytes& bytes, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += (bytes[i] - kSilence) * (bytes[i] - kSilence);
  return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0;
}

// How a play of `file` was heard.
struct Heard {
  int copies = 0;         // 1: one exact copy; 2: two mixed; 0: none found
  double apart_ms = 0;    // of two copies mixed
  Copy copy;              // the exact copy, when there is one
  double loudness = 0;    // RMS of what was heard / the file's
  std::size_t clipped = 0;
  std::size_t span = 0;   // first to last loud byte
};

// Two copies of the file mixed, the other `apart` bytes after the one heard
// first (before it when negative: a server may drop more of one stream's
// first bytes than of the other's): the fraction of heard bytes that their
// clipped sum explains, to within 2. The first heard byte is byte `skip` of
// the copy heard first.
double MixedScore(const Bytes& heard, std::size_t onset, const Bytes& file, long apart, long skip,
                  std::size_t step) {
  std::size_t fits = 0, looked = 0;
  const long n = static_cast<long>(file.size());
  for (long k = skip; k < n + std::max(apart, 0L); k += static_cast<long>(step)) {
    const std::size_t j = onset + static_cast<std::size_t>(k - skip);
    if (j >= heard.size()) break;
    const int a = k < n ? file[static_cast<std::size_t>(k)] : kSilence;
    const int b = k - apart >= 0 && k - apart < n ? file[static_cast<std::size_t>(k - apart)] : kSilence;
    const int sum = std::clamp(a + b - kSilence, 0, 255);
    fits += std::abs(heard[j] - sum) <= 2;
    ++looked;
  }
  return looked > 0 ? static_cast<double>(fits) / static_cast<double>(looked) : 0;
}

Heard Hear(const Bytes& heard, const Bytes& file, const WindowIndex& index);

// With MIRN_BENCH_VERBOSE set, what each play was heard as.
Heard Told(const char* who, const Bytes& heard, const Bytes& file, const WindowIndex& index) {
  const Heard h = Hear(heard, file, index);
  if (std::getenv("MIRN_BENCH_VERBOSE") != nullptr) {
    std::printf("%s: %zu bytes heard, loud span %zu, copies %d (matched %zu, lost %zu at the start, "
                "%zu at the end; %.1f ms apart), loudness %.2fx, %zu clipped\n",
                who, heard.size(), h.span, h.copies, h.copy.matched, h.copy.lost_start, h.copy.lost_end,
                h.apart_ms, h.loudness, h.clipped);
  }
  return h;
}

Heard Hear(const Bytes& heard, const Bytes& file, const WindowIndex& index) {
  Heard h;
  const auto loud_begin = std::ranges::find_if(heard, Loud);
  if (loud_begin == heard.end()) return h;
  const std::size_t onset = static_cast<std::size_t>(loud_begin - heard.begin());
  std::size_t end = heard.size();
  while (end > onset && !Loud(heard[end - 1])) --end;
  h.span = end - onset;
  h.loudness = Rms(heard, onset, end) / Rms(file, 0, file.size());
  h.clipped = static_cast<std::size_t>(std::ranges::count_if(heard, [](std::uint8_t b) { return b == 0 || b == 255; }));
  const long n = static_cast<long>(file.size());
  const auto votes = Copies(heard, index, 0, n);
  const long offset = Strongest(votes);
  if (!votes.empty() && votes.at(offset) > file.size() / 2) {
    h.copies = 1;
    h.copy = Match(heard, file, offset, 0, file.size());
    // Another exact copy elsewhere is a second hearing, in turn.
    const long other = Strongest(votes, offset);
    if (votes.size() > 1 && votes.at(other) > file.size() / 2) h.copies = 2;
    return h;
  }
  // No copy alone: try two copies mixed at a constant distance, on every
  // 37th byte, then the best in full. (Copies that drift apart mid-way fit
  // neither.)
  double best = 0;
  long best_apart = 0, best_skip = 0;
  for (long skip = 0; skip <= 200; ++skip) {
    for (long apart = -400; apart <= 4000; ++apart) {
      const double score = MixedScore(heard, onset, file, apart, skip, 37);
      if (score > best) {
        best = score;
        best_apart = apart;
        best_skip = skip;
      }
    }
  }
  if (MixedScore(heard, onset, file, best_apart, best_skip, 1) > 0.9) {
    h.copies = 2;
    h.apart_ms = static_cast<double>(std::abs(best_apart)) / kRate * 1000;
  }
  return h;
}

// Plays by one player, summed up.
struct Plays {
  std::vector<double> loudness, apart;
  int once = 0;  // one copy at the file's own loudness, nothing clipped
  int mixed = 0, twice = 0, unfound = 0;
  int whole_measured = 0;  // plays heard as one copy: their losses can be counted
  std::size_t most_lost_start = 0, most_lost_end = 0, most_clipped = 0;
  int cut = 0;  // plays with bytes lost at the end

  void Add(const Heard& h) {
    loudness.push_back(h.loudness);
    most_clipped = std::max(most_clipped, h.clipped);
    if (h.copies == 0) ++unfound;
    if (h.copies == 2 && h.copy.matched > 0) ++twice;
    if (h.copies == 2 && h.copy.matched == 0) {
      ++mixed;
      apart.push_back(h.apart_ms);
    }
    if (h.copies == 1) {
      ++whole_measured;
      most_lost_start = std::max(most_lost_start, h.copy.lost_start);
      most_lost_end = std::max(most_lost_end, h.copy.lost_end);
      cut += h.copy.lost_end > 0;
      once += h.clipped == 0 && std::abs(h.loudness - 1) < 0.05;
    }
  }

  void Report(const std::string& who, int plays) const {
    std::printf("%-8s %2d plays of %u loud bytes: %d heard once at the file's loudness; "
                "%d as two copies mixed (%.1f-%.1f ms apart), %d twice, %d otherwise; loudness "
                "%.2f-%.2fx the file's; at most %zu bytes clipped; of the %d heard as one copy, %d cut at "
                "the end (at most %zu bytes), at most %zu bytes lost at the start\n",
                who.c_str(), plays, kPlayBytes, once, mixed, apart.empty() ? 0 : *std::ranges::min_element(apart),
                Worst(apart), twice, unfound,
                loudness.empty() ? 0 : *std::ranges::min_element(loudness), Worst(loudness),
                most_clipped, whole_measured, cut, most_lost_end, most_lost_start);
    const std::string key = who + " plays: ";
    SetFigure(key + "count", plays);
    SetFigure(key + "heard once", once);
    SetFigure(key + "two copies mixed", mixed);
    SetFigure(key + "heard twice", twice);
    SetFigure(key + "copies apart, worst ms", Worst(apart));
    SetFigure(key + "loudness, highest x", Worst(loudness));
    SetFigure(key + "clipped bytes, most", static_cast<double>(most_clipped));
    SetFigure(key + "heard as one copy", whole_measured);
    SetFigure(key + "cut at the end", cut);
    SetFigure(key + "bytes lost at the end, most", static_cast<double>(most_lost_end));
    SetFigure(key + "bytes lost at the start, most", static_cast<double>(most_lost_start));
  }
};

// A tone replay of a store holding `a` (the recorded length) then `b`:
// the three passes in turn, each whole; the gaps between them.
struct Tone {
  bool in_turn = false;
  double gap12_ms = 0, gap23_ms = 0;
  std::size_t lost_end = 0;
};

Tone HearTone(const Bytes& heard, const Bytes& ab, const WindowIndex& index) {
  Tone t;
  const long n = static_cast<long>(ab.size() / 2);
  // Pass 2 alone holds b; pass 3 is a again, elsewhere.
  const auto pass2_votes = Copies(heard, index, n, 2 * n);
  if (pass2_votes.empty()) return t;
  const long o2 = Strongest(pass2_votes);
  const long o3 = Strongest(Copies(heard, index, 0, n), o2);
  const Copy pass2 = Match(heard, ab, o2, 0, ab.size());
  const Copy pass3 = Match(heard, ab, o3, 0, static_cast<std::size_t>(n));
  // Lost bytes say something only of a pass found.
  if (pass2.matched > static_cast<std::size_t>(n)) t.lost_end = pass2.lost_end;
  if (pass3.matched > static_cast<std::size_t>(n / 2)) t.lost_end = std::max(t.lost_end, pass3.lost_end);
  // Pass 1: the loud bytes before pass 2, about n * 8000 / 5512 of them.
  const auto onset = std::ranges::find_if(heard, Loud) - heard.begin();
  long pass1_end = o2;
  while (pass1_end > onset && !Loud(heard[static_cast<std::size_t>(pass1_end - 1)])) --pass1_end;
  const double pass1 = static_cast<double>(pass1_end - onset);
  const double expected1 = static_cast<double>(n) * kRate / kToneRate;
  t.gap12_ms = static_cast<double>(o2 - pass1_end) / kRate * 1000;
  t.gap23_ms = static_cast<double>(o3 - (o2 + 2 * n)) / kRate * 1000;
  // In turn: passes 2 and 3 each heard alone (a copy mixed with another
  // matches nowhere), 3 after 2, and before 2 about what pass 1 lasts. (A
  // server may drop the first bytes of a stream; the losses are counted
  // apart.)
  t.in_turn = pass2.matched >= static_cast<std::size_t>(2 * n * 9 / 10) &&
              pass3.matched >= static_cast<std::size_t>(n * 9 / 10) && o3 >= o2 + 2 * n - 4 &&
              std::abs(pass1 - expected1) < 0.1 * expected1;
  if (std::getenv("MIRN_BENCH_VERBOSE") != nullptr) {
    std::printf("tone: pass 1 %.0f loud bytes (%.0f expected) until %ld, pass 2 at %ld (%zu of %ld), "
                "pass 3 at %ld (%zu of %ld)\n", pass1, expected1, pass1_end, o2, pass2.matched, 2 * n, o3,
                pass3.matched, n);
  }
  return t;
}

int Aplay(const fs::path& file, int rate = 8000) {
  const pid_t pid = SpawnQuiet({"aplay", "-q", "-t", "raw", "-f", "U8", "-r", std::to_string(rate), "-c", "1",
                                file.string()});
  return pid > 0 ? WaitExit(pid, std::chrono::seconds(20)) : -1;
}

fs::path WriteRaw(const std::string& name, const Bytes& bytes) {
  const fs::path path = Server().dir() / name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

void ReportTones(const std::string& who, const std::vector<Tone>& tones) {
  int in_turn = 0;
  std::size_t lost = 0;
  std::vector<double> gaps;
  for (const Tone& t : tones) {
    in_turn += t.in_turn;
    lost = std::max(lost, t.lost_end);
    if (t.in_turn) {
      gaps.push_back(t.gap12_ms);
      gaps.push_back(t.gap23_ms);
    }
  }
  std::printf("%-8s %2zu tone replays (%d Hz, then 8000 Hz twice): %d heard as three passes in turn, "
              "gaps between passes %.1f ms (median), %.1f worst; at most %zu bytes lost at a pass's end\n",
              who.c_str(), tones.size(), kToneRate, in_turn, Median(gaps), Worst(gaps), lost);
  const std::string key = who + " tones: ";
  SetFigure(key + "count", static_cast<double>(tones.size()));
  SetFigure(key + "in turn", in_turn);
  SetFigure(key + "gap between passes, worst ms", Worst(gaps));
  SetFigure(key + "bytes lost at a pass's end, most", static_cast<double>(lost));
}

}  // namespace

void RunPlays(const RunOptions& options) {
  const Bytes file = KnownBytes(kPlayBytes, options.seed + 7, LoudValues());
  const WindowIndex index(file);
  const fs::path take = WriteTake("loud.wav", file);
  const fs::path raw = WriteRaw("loud.raw", file);  // the same bytes for aplay
  Bytes ab = file;
  const Bytes b = KnownBytes(kPlayBytes, options.seed + 8, LoudValues());
  ab.insert(ab.end(), b.begin(), b.end());
  const WindowIndex tone_index(ab);
  const fs::path tone_store = WriteTake("loud_ab.wav", ab);
  const fs::path ab_raw = WriteRaw("loud_ab.raw", ab);
  const auto tone_bytes = static_cast<std::size_t>(kPlayBytes * (kRate / kToneRate + 3));

  std::printf("\n== Plays at the sink through %s, beside aplay\n", SoundTestServer::Name(Kind()));
  Plays ours, theirs;
  std::vector<Tone> tones, aplay_tones;
  for (int i = 0; i < options.plays; ++i) {
    LoadFile(take);
    std::size_t mark = Server().SinkBytes().size();
    SoundRecordPlay(8000);
    ours.Add(Told("library play", SinkSince(mark, kPlayBytes), file, index));

    mark = Server().SinkBytes().size();
    Aplay(raw);
    theirs.Add(Told("aplay", SinkSince(mark, kPlayBytes), file, index));

    LoadFile(tone_store);  // the store holds a, then b
    LoadFile(take);        // and its recorded length is a's
    mark = Server().SinkBytes().size();
    ToneCreate(kToneRate);
    tones.push_back(HearTone(SinkSince(mark, tone_bytes), ab, tone_index));

    // The same three passes by aplay, one run after the other.
    mark = Server().SinkBytes().size();
    Aplay(raw, kToneRate);
    Aplay(ab_raw);
    Aplay(raw);
    aplay_tones.push_back(HearTone(SinkSince(mark, tone_bytes), ab, tone_index));
  }
  ours.Report("library", options.plays);
  theirs.Report("aplay", options.plays);
  ReportTones("library", tones);
  ReportTones("aplay", aplay_tones);
}

}  // namespace mirn::bench
