// The ALSA device's PCM bookkeeping on its own, with times given by the test:
// which PCM an open gets, when a kept one runs out, and what rate answers
// are kept, each by PCM name.
#include "wave_service/alsa/pcm_pool.h"

#include <gtest/gtest.h>

namespace ws = wave_service;
using ws::alsa::PcmPool;
using Choice = PcmPool::Choice;
using Use = PcmPool::Use;
using std::chrono::milliseconds;

namespace {

constexpr auto kOut = ws::Direction::kOutput;
constexpr auto kIn = ws::Direction::kInput;
const PcmPool::Time kT0{};

PcmPool Pool() { return PcmPool({2, 3, milliseconds(300), milliseconds(2000)}); }

TEST(PcmPool, AnOutputOpenTakesKeptThenFreshThenDrainingThenGivesWayOldestFirst) {
  PcmPool pool = Pool();
  const auto a = pool.Add(kOut, "default", 8000);
  EXPECT_TRUE(pool.Keep(a, kT0));
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).take, a) << "kept at the name and rate";
  EXPECT_EQ(pool.Choose(kOut, "default", 11025).kind, Choice::kOpen) << "room for one more";

  const auto b = pool.Add(kOut, "default", 11025);
  const auto c = pool.Add(kOut, "default", 16000);
  pool.Attach(a);
  pool.SetUse(a, Use::kDraining);
  pool.SetUse(b, Use::kDraining);
  // At the bound: a draining PCM at the rate is followed, else the oldest
  // idle one elsewhere gives way.
  EXPECT_EQ(pool.Choose(kOut, "default", 11025).take, b);
  const Choice other = pool.Choose(kOut, "default", 44100);
  EXPECT_EQ(other.kind, Choice::kOpen);
  EXPECT_EQ(other.give_way, b) << "b was attached before a was taken again";

  // Only closing streams left: the oldest is cut, its PCM taken at its rate;
  // all open: refused.
  pool.SetUse(a, Use::kClosing);
  pool.SetUse(b, Use::kClosing);
  EXPECT_EQ(pool.Choose(kOut, "default", 44100).give_way, b);
  const Choice cut = pool.Choose(kOut, "default", 11025);
  EXPECT_EQ(cut.kind, Choice::kTake);
  EXPECT_EQ(cut.take, b);
  EXPECT_TRUE(cut.cut);
  for (auto id : {a, b, c}) pool.SetUse(id, Use::kStreaming);
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).kind, Choice::kRefuse);
  pool.Remove(c);
  EXPECT_EQ(pool.Held(kOut), 2u);
  EXPECT_EQ(pool.Choose(kOut, "default", 8000).kind, Choice::kOpen);
}

TEST(PcmPool, APcmOfAnotherNameIsNeverTakenAndGivesWayAtTheBound) {
  PcmPool pool = Pool();
  const auto old_name = pool.Add(kIn, "old", 8000);
  ASSERT_TRUE(pool.Keep(old_name, kT0));
  EXPECT_EQ(pool.Choose(kIn, "new", 8000).kind, Choice::kOpen);
  EXPECT_EQ(pool.Choose(kIn, "new", 8000).give_way, 0u);
  pool.Add(kIn, "new", 8000);
  const Choice full = pool.Choose(kIn, "new", 8000);
  EXPECT_EQ(full.kind, Choice::kOpen);
  EXPECT_EQ(full.give_way, old_name);
  EXPECT_EQ(pool.Choose(kIn, "old", 8000).take, old_name);
}

TEST(PcmPool, AKeptPcmRunsOutAtItsDirectionsKeepTimeUnlessTakenFirst) {
  PcmPool pool = Pool();
  const auto in = pool.Add(kIn, "default", 8000);
  const auto out = pool.Add(kOut, "default", 8000);
  ASSERT_TRUE(pool.Keep(in, kT0));
  ASSERT_TRUE(pool.Keep(out, kT0));
  EXPECT_EQ(pool.KeptUntil(in), kT0 + milliseconds(300));
  EXPECT_FALSE(pool.Expire(in, kT0 + milliseconds(299)));
  EXPECT_TRUE(pool.Expire(in, kT0 + milliseconds(300)));
  EXPECT_FALSE(pool.UseOf(in)) << "expired: forgotten";

  pool.Attach(out);  // taken just before its time ran out
  EXPECT_FALSE(pool.Expire(out, kT0 + milliseconds(5000)));
  EXPECT_EQ(pool.UseOf(out), Use::kStreaming);
  EXPECT_FALSE(pool.KeptUntil(out));

  PcmPool keeps_nothing({2, 4, milliseconds(0), milliseconds(0)});
  const auto id = keeps_nothing.Add(kOut, "default", 8000);
  EXPECT_FALSE(keeps_nothing.Keep(id, kT0));
  EXPECT_EQ(keeps_nothing.Held(kOut), 0u);
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

  // A bounded number of answers: the oldest goes first.
  for (std::uint32_t rate = 10'000; rate < 10'008; ++rate) pool.Learn(kOut, "default", rate, ws::kOk);
  EXPECT_FALSE(pool.Known(kOut, "default", 3999));
  EXPECT_EQ(pool.Known(kOut, "default", 10'000), ws::kOk);
  pool.Forget(kOut);
  EXPECT_FALSE(pool.Known(kOut, "default", 10'000));
}

}  // namespace
