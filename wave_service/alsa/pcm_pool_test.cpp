// The ALSA device's PCM bookkeeping on its own, with times given by the test:
// which PCM an open gets, when a kept one runs out, and what rate answers
// are kept, each by PCM name.
#include "wave_service/alsa/pcm_pool.h"

#include <gtest/gtest.h>

namespace ws = wave_service;
using ws::alsa::PcmPool;
using Choice = PcmPool::Choice;
using ws::alsa::PcmEvent;
using ws::alsa::PcmState;
using std::chrono::milliseconds;

namespace {

constexpr auto kOut = ws::Direction::kOutput;
constexpr auto kIn = ws::Direction::kInput;
const PcmPool::Time kT0{};

PcmPool Pool() { return PcmPool({2, 3, milliseconds(300), milliseconds(2000)}); }

// Moves an output along the table to `state`, from streaming.
void Move(PcmPool& pool, std::uint64_t id, PcmState state) {
  pool.Apply(id, PcmEvent::kClose);
  if (state == PcmState::kDraining) pool.Apply(id, PcmEvent::kHandedAll);
}

TEST(PcmPool, AnOutputOpenTakesKeptThenFreshThenDrainingThenGivesWayOldestFirst) {
  PcmPool pool = Pool();
  const auto a = pool.Add(kOut, "default", 8000);
  EXPECT_EQ(pool.Apply(a, PcmEvent::kDetach, kT0), PcmState::kKept);
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).owner, a) << "kept at the name and rate";
  EXPECT_EQ(pool.Choose(kOut, "default", 11025).kind, Choice::kOpen) << "room for one more";

  const auto b = pool.Add(kOut, "default", 11025);
  const auto c = pool.Add(kOut, "default", 16000);
  pool.Apply(a, PcmEvent::kAttach);
  Move(pool, a, PcmState::kDraining);
  Move(pool, b, PcmState::kDraining);
  // At the bound: a draining PCM at the rate is followed, else the oldest
  // idle one elsewhere gives way.
  EXPECT_EQ(pool.Choose(kOut, "default", 11025).owner, b);
  const Choice other = pool.Choose(kOut, "default", 44100);
  EXPECT_EQ(other.kind, Choice::kOpen);
  EXPECT_EQ(other.give_way, b) << "b was attached before a was taken again";

  // Only closing streams left: the oldest is cut, its PCM taken at its rate;
  // all open: refused.
  for (auto id : {b, a}) {
    pool.Apply(id, PcmEvent::kAttach);
    Move(pool, id, PcmState::kClosing);
  }
  EXPECT_EQ(pool.Choose(kOut, "default", 44100).give_way, b);
  const Choice cut = pool.Choose(kOut, "default", 11025);
  EXPECT_EQ(cut.kind, Choice::kTake);
  EXPECT_EQ(cut.owner, b);
  EXPECT_TRUE(cut.cut);
  EXPECT_EQ(pool.Apply(b, PcmEvent::kCut, kT0), PcmState::kKept);
  EXPECT_EQ(pool.Apply(b, PcmEvent::kAttach), PcmState::kStreaming);
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).owner, a) << "the closing stream's PCM, cut";
  pool.Apply(a, PcmEvent::kCut, kT0);
  pool.Apply(a, PcmEvent::kAttach);
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).kind, Choice::kRefuse);
  EXPECT_EQ(pool.Apply(c, PcmEvent::kEnd), PcmState::kEnding);
  EXPECT_FALSE(pool.StateOf(c)) << "forgotten";
  EXPECT_EQ(pool.Held(kOut), 2u);
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).kind, Choice::kOpen);
}

TEST(PcmPool, APcmOfAnotherNameIsNeverTakenAndGivesWayAtTheBound) {
  PcmPool pool = Pool();
  const auto old_name = pool.Add(kIn, "old", 8000);
  ASSERT_EQ(pool.Apply(old_name, PcmEvent::kDetach, kT0), PcmState::kKept);
  EXPECT_EQ(pool.Choose(kIn, "new", 8000).kind, Choice::kOpen);
  EXPECT_EQ(pool.Choose(kIn, "new", 8000).give_way, 0u);
  pool.Add(kIn, "new", 8000);
  const Choice full = pool.Choose(kIn, "new", 8000);
  EXPECT_EQ(full.kind, Choice::kOpen);
  EXPECT_EQ(full.give_way, old_name);
  EXPECT_EQ(pool.Choose(kIn, "old", 8000).owner, old_name);
}

TEST(PcmPool, AKeptOutputAtAnotherRateIsRetunedOnlyWhereNothingTheCallWantsIsLost) {
  PcmPool pool = Pool();
  const auto a = pool.Add(kOut, "default", 8000, PcmState::kKept, kT0);
  const auto b = pool.Add(kOut, "default", 11025, PcmState::kKept, kT0);
  const auto other = pool.Add(kOut, "other", 16000, PcmState::kKept, kT0);
  const std::uint32_t tone[] = {5512, 8000, 8000};
  // Ahead of a call: the oldest kept at a rate the call does not want, at
  // the name, rather than a fresh one; none left: fresh, or in place of one.
  const Choice ahead = pool.ChooseAhead(kOut, "default", 5512, tone);
  EXPECT_EQ(ahead.kind, Choice::kRetune);
  EXPECT_EQ(ahead.owner, b) << "8000 is the call's own";
  EXPECT_EQ(pool.ChooseAhead(kOut, "default", 5512).owner, a) << "a call that wants nothing";
  ASSERT_TRUE(pool.Retune(b, 5512, kT0 + milliseconds(10)));
  EXPECT_EQ(pool.Held(kOut, "default", 5512, PcmState::kKept), 1u);
  EXPECT_EQ(pool.KeptUntil(b), kT0 + milliseconds(2010));
  const std::uint32_t wants_both[] = {22050, 8000, 5512};
  const Choice none = pool.ChooseAhead(kOut, "default", 22050, wants_both);
  EXPECT_EQ(none.kind, Choice::kOpen);
  EXPECT_NE(none.give_way, a) << "the call's own";
  EXPECT_NE(none.give_way, b) << "the call's own";
  EXPECT_EQ(none.give_way, other);

  // An open at the bound: a kept one at the name re-tuned before any gives
  // way; fresh while there is room.
  pool.Apply(a, PcmEvent::kAttach);
  const Choice full = pool.Choose(kOut, "default", 44100);
  EXPECT_EQ(full.kind, Choice::kRetune);
  EXPECT_EQ(full.owner, b) << "not the other name's";
  pool.Apply(b, PcmEvent::kEnd);
  EXPECT_EQ(pool.Choose(kOut, "default", 44100).kind, Choice::kOpen);
  EXPECT_FALSE(pool.Retune(a, 44100)) << "streaming";
  EXPECT_FALSE(pool.Retune(pool.Add(kIn, "default", 8000, PcmState::kKept), 11025)) << "input";
}

TEST(PcmPool, AKeptPcmRunsOutAtItsDirectionsKeepTimeUnlessTakenFirst) {
  PcmPool pool = Pool();
  const auto in = pool.Add(kIn, "default", 8000);
  const auto out = pool.Add(kOut, "default", 8000);
  pool.Apply(in, PcmEvent::kDetach, kT0);
  Move(pool, out, PcmState::kDraining);
  pool.Apply(out, PcmEvent::kHeard, kT0);
  EXPECT_EQ(pool.KeptUntil(in), kT0 + milliseconds(300));
  EXPECT_EQ(pool.KeptUntil(out), kT0 + milliseconds(2000));
  EXPECT_FALSE(pool.Expire(in, kT0 + milliseconds(299)));
  EXPECT_TRUE(pool.Expire(in, kT0 + milliseconds(300)));
  EXPECT_FALSE(pool.StateOf(in)) << "expired: forgotten";

  pool.Apply(out, PcmEvent::kAttach);  // taken just before its time ran out
  EXPECT_FALSE(pool.Expire(out, kT0 + milliseconds(5000)));
  EXPECT_EQ(pool.StateOf(out), PcmState::kStreaming);
  EXPECT_FALSE(pool.KeptUntil(out));

  // With no keep time a PCM is forgotten as it goes idle, unless it is
  // held a while on purpose (opened ahead of its stream).
  PcmPool keeps_nothing({2, 4, milliseconds(0), milliseconds(0)});
  const auto id = keeps_nothing.Add(kOut, "default", 8000);
  EXPECT_EQ(keeps_nothing.Apply(id, PcmEvent::kDetach, kT0), PcmState::kEnding);
  EXPECT_EQ(keeps_nothing.Held(kOut), 0u);
  const auto ahead =
      keeps_nothing.Add(kOut, "default", 8000, PcmState::kKept, kT0, milliseconds(100));
  EXPECT_EQ(keeps_nothing.KeptUntil(ahead), kT0 + milliseconds(100));
}

TEST(PcmPool, RateAnswersAreKeptByNameAndOnlyForWhatSaysSomethingOfTheRate) {
  PcmPool pool = Pool();
  pool.Learn(kOut, "default", 3999, ws::kBadFormat);
  pool.Learn(kOut, "default", 5000, ws::kBadDeviceId);  // the device, not the rate
  EXPECT_EQ(pool.Known(kOut, "default", 3999), ws::kBadFormat);
  EXPECT_FALSE(pool.Known(kOut, "other", 3999));
  EXPECT_FALSE(pool.Known(kIn, "default", 3999));
  EXPECT_FALSE(pool.Known(kOut, "default", 5000));
  pool.Add(kOut, "default", 5000);
  EXPECT_EQ(pool.Known(kOut, "default", 5000), ws::kOk) << "a PCM open at the rate answers";
  EXPECT_FALSE(pool.Learned(kOut, "default", 5000)) << "though no open has answered yet";

  // A bounded number of answers: the oldest goes first.
  for (std::uint32_t rate = 10'000; rate < 10'008; ++rate) pool.Learn(kOut, "default", rate, ws::kOk);
  EXPECT_FALSE(pool.Known(kOut, "default", 3999));
  EXPECT_EQ(pool.Known(kOut, "default", 10'000), ws::kOk);
  pool.Forget(kOut);
  EXPECT_FALSE(pool.Known(kOut, "default", 10'000));
}

}  // namespace
