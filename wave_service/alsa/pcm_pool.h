// Which PCMs the ALSA device holds and what each is used for: the bounds on
// how many, how long an idle one is kept for the next stream at its name and
// rate, which one gives way when the bound is reached, and the answers about
// rates that earlier opens found. Bookkeeping only: it calls no ALSA, and
// every time it needs is passed in, so that it is tested without a clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wave_service/device.h"

namespace wave_service::alsa {

class PcmPool {
 public:
  using Time = std::chrono::steady_clock::time_point;

  struct Limits {
    std::size_t inputs = 2;
    std::size_t outputs = 4;
    std::chrono::milliseconds keep_input{300};
    std::chrono::milliseconds keep_output{2000};
  };

  enum class Use {
    kStreaming,  // a stream is attached and its handle open
    kClosing,    // (output) the handle is closed; its queued bytes still play
    kDraining,   // (output) the stream is released; the PCM plays what it holds
    kKept,       // idle, open for the next stream at its name and rate
  };

  // What an open should do.
  struct Choice {
    enum Kind {
      kTake,    // attach the stream to PCM `take` (cutting its closing stream short if `cut`)
      kOpen,    // open a fresh PCM, after closing `give_way` if it is not 0
      kRefuse,  // every PCM belongs to an open handle
    } kind = kRefuse;
    std::uint64_t take = 0;
    std::uint64_t give_way = 0;
    bool cut = false;
  };

  explicit PcmPool(Limits limits) : limits_(limits) {}

  // For an input: a kept PCM at the name and rate; a fresh one while fewer
  // than the bound are held; a fresh one in place of a kept one. For an
  // output, in this order: a kept PCM at the name and rate; a fresh one
  // while fewer than the bound are held; one at the name and rate still
  // draining (the stream follows what it plays); a fresh one in place of the
  // oldest kept or draining one; the PCM of the oldest closing stream, cut
  // short (taken at its name and rate, else giving way to a fresh one).
  Choice Choose(Direction direction, std::string_view name, std::uint32_t rate) const;

  // A fresh PCM, streaming; its id (never 0).
  std::uint64_t Add(Direction direction, std::string_view name, std::uint32_t rate);
  // The PCM is taken by a new stream: streaming, and the newest.
  void Attach(std::uint64_t id);
  void SetUse(std::uint64_t id, Use use);
  // The PCM's stream has ended: kept until its keep time, or `at_least`
  // when that is longer, has passed from `now`. False (and forgotten) when
  // both are 0.
  bool Keep(std::uint64_t id, Time now, std::chrono::milliseconds at_least = {});
  // The host has gone: Keep keeps nothing until a stream is added or
  // attached again.
  void RefuseKeeps() { refuse_keeps_ = true; }
  bool RefusesKeeps() const { return refuse_keeps_; }
  // When a kept PCM's time runs out; nullopt for one not kept.
  std::optional<Time> KeptUntil(std::uint64_t id) const;
  // True (and forgotten) when the PCM is kept and its time has run out.
  bool Expire(std::uint64_t id, Time now);
  void Remove(std::uint64_t id);
  std::optional<Use> UseOf(std::uint64_t id) const;
  std::size_t Held(Direction direction) const;
  // PCMs held at the name and rate, in any use.
  std::size_t Held(Direction direction, std::string_view name, std::uint32_t rate) const;
  std::size_t Held(Direction direction, Use use) const;
  std::size_t Limit(Direction direction) const;

  // Answers about a rate at a name: kOk or kBadFormat as an open found it;
  // nullopt when nothing is known. Other results say nothing of the rate.
  std::optional<Result> Known(Direction direction, std::string_view name,
                              std::uint32_t rate) const;
  void Learn(Direction direction, std::string_view name, std::uint32_t rate, Result result);
  // The device may have changed (gone, or come back): nothing is known.
  void Forget(Direction direction);

 private:
  struct Entry {
    std::uint64_t id;
    Direction direction;
    std::string name;
    std::uint32_t rate;
    Use use;
    Time kept_until;
    std::uint64_t attached;  // order of attachment: lower is older
  };
  struct Answer {
    std::string name;
    std::uint32_t rate = 0;
    Result result = kOk;
  };
  static constexpr std::size_t kAnswers = 8;

  Entry* Find(std::uint64_t id);
  const Entry* Find(std::uint64_t id) const;

  const Limits limits_;
  std::vector<Entry> entries_;
  std::uint64_t last_id_ = 0;
  bool refuse_keeps_ = false;
  std::uint64_t attached_ = 0;
  std::array<std::array<Answer, kAnswers>, 2> answers_{};
  std::array<std::size_t, 2> next_answer_{};
};

}  // namespace wave_service::alsa
