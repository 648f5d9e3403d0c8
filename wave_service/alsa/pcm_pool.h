// Which PCM owners the ALSA device holds (each one PCM and the thread that
// calls ALSA on it) and the state of each (pcm_states.h): the bounds on how
// many, how long an idle one is kept for the next stream at its name and
// rate, which one an open gets and which gives way when the bound is reached,
// and the answers about rates that earlier opens found. Bookkeeping
// only: it calls no ALSA, and every time it needs is passed in, so that it is
// tested without a clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wave_service/alsa/pcm_states.h"
#include "wave_service/device.h"

namespace wave_service::alsa {

class PcmPool {
 public:
  using Time = std::chrono::steady_clock::time_point;

  struct Limits {
    std::size_t inputs;
    std::size_t outputs;
    std::chrono::milliseconds keep_input;
    std::chrono::milliseconds keep_output;
  };

  // What an open should do.
  struct Choice {
    enum Kind {
      kTake,    // attach the stream to owner `owner` (cutting its closed stream short if `cut`)
      kOpen,    // open a fresh PCM, after ending `give_way` if it is not 0
      kRetune,  // (output) set kept owner `owner`'s PCM up afresh at the rate (Retune)
      kRefuse,  // every PCM belongs to an open handle
    } kind = kRefuse;
    std::uint64_t owner = 0;
    std::uint64_t give_way = 0;
    bool cut = false;
  };

  explicit PcmPool(Limits limits) : limits_(limits) {}

  // For an input: a kept PCM at the name and rate; a fresh one while fewer
  // than the bound are held; a fresh one in place of a kept one. For an
  // output, in this order: a kept PCM at the name and rate; a fresh one
  // while fewer than the bound are held; one at the name and rate still
  // draining (the stream follows what it plays); the oldest kept at the name
  // and another rate, re-tuned; a fresh one in place of the oldest kept or
  // draining one; the PCM of the oldest closing stream, cut short (taken at
  // its name and rate, else giving way to a fresh one).
  Choice Choose(Direction direction, std::string_view name, std::uint32_t rate) const;
  // For an output opened ahead of its stream, leaving alone every PCM kept at
  // one of `wanted` (the rates of the same call): the oldest kept at the name
  // and another rate, re-tuned (cheaper than a fresh open, which it makes
  // unneeded); a fresh one while fewer than the bound are held; else one in
  // place of the oldest kept at another name or rate; never one that plays.
  Choice ChooseAhead(Direction direction, std::string_view name, std::uint32_t rate,
                     std::span<const std::uint32_t> wanted = {}) const;

  // A fresh owner in `state` (streaming, or kept when opened ahead of its
  // stream and held at least `at_least` from `now`); its id (never 0).
  std::uint64_t Add(Direction direction, std::string_view name, std::uint32_t rate,
                    PcmState state = PcmState::kStreaming, Time now = {},
                    std::chrono::milliseconds at_least = {});
  // Applies `event` by the table: the owner's state from now on, kEnding when
  // it is forgotten (it ended, or was kept with no keep time), nullopt when
  // the pool does not hold it. An event with no row changes nothing. A PCM
  // that becomes kept is kept until its keep time, or `at_least` when that is
  // longer, has passed from `now`; an attached one becomes the newest.
  std::optional<PcmState> Apply(std::uint64_t id, PcmEvent event, Time now = {},
                                std::chrono::milliseconds at_least = {});
  std::optional<PcmState> StateOf(std::uint64_t id) const;
  // A kept output re-tuned (kRetune) to `rate`: kept at it at least
  // `at_least` from `now`. False, changing nothing, for one not kept.
  bool Retune(std::uint64_t id, std::uint32_t rate, Time now = {},
              std::chrono::milliseconds at_least = {});
  // When a kept PCM's time runs out; nullopt for one not kept.
  std::optional<Time> KeptUntil(std::uint64_t id) const;
  // Keeps a kept PCM at least `at_least` from `now`.
  void KeepAtLeast(std::uint64_t id, Time now, std::chrono::milliseconds at_least);
  // True (and forgotten) when the PCM is kept and its time has run out.
  bool Expire(std::uint64_t id, Time now);

  std::size_t Held(Direction direction) const;
  // Owners held at the name and rate, in `state` or in any.
  std::size_t Held(Direction direction, std::string_view name, std::uint32_t rate,
                   std::optional<PcmState> state = std::nullopt) const;
  std::size_t Limit(Direction direction) const;

  // Answers about a rate at a name: kOk or kBadFormat as an open found it;
  // nullopt when nothing is known. Other results say nothing of the rate.
  std::optional<Result> Known(Direction direction, std::string_view name,
                              std::uint32_t rate) const;
  // The answer an earlier open found, since the device last changed.
  std::optional<Result> Learned(Direction direction, std::string_view name,
                                std::uint32_t rate) const;
  void Learn(Direction direction, std::string_view name, std::uint32_t rate, Result result);
  // The device may have changed (gone, or come back): nothing is known.
  void Forget(Direction direction);

 private:
  struct Owner {
    std::uint64_t id;
    Direction direction;
    std::string name;
    std::uint32_t rate;
    PcmState state;
    Time kept_until;
    std::uint64_t attached;  // order of attachment: lower is older
  };
  struct Answer {
    std::string name;
    std::uint32_t rate = 0;
    Result result = kOk;
  };
  static constexpr std::size_t kAnswers = 8;

  Owner* Find(std::uint64_t id);
  // The oldest output kept at `name` at a rate neither `rate` nor in `wanted`.
  const Owner* OldestToRetune(Direction direction, std::string_view name, std::uint32_t rate,
                              std::span<const std::uint32_t> wanted) const;
  const Owner* Find(std::uint64_t id) const;
  void Remove(std::uint64_t id);
  std::chrono::milliseconds KeepTime(Direction direction) const;

  const Limits limits_;
  std::vector<Owner> owners_;
  std::uint64_t last_id_ = 0;
  std::uint64_t attached_ = 0;
  std::array<std::array<Answer, kAnswers>, 2> answers_{};
  std::array<std::size_t, 2> next_answer_{};
};

}  // namespace wave_service::alsa
