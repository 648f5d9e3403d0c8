// The take's clock on its own, with times given by the test: the silence a
// take is owed before its PCM's first bytes, while its PCM is lost, and at
// its stop.
#include "wave_service/alsa/capture_clock.h"

#include <gtest/gtest.h>

using wave_service::alsa::CaptureClock;
using std::chrono::milliseconds;

namespace {

const CaptureClock::Time kT0{};

TEST(CaptureClock, ATakeIsOwedSilenceForTheTimeBeforeItsPcmDeliversThenRunsOnTime) {
  CaptureClock clock(8000);
  clock.Start(kT0);
  EXPECT_EQ(clock.Due(kT0 + milliseconds(250)), 2000u);
  // 300 ms in, the PCM delivers 1000 bytes and holds 500 more: they are the
  // last 1500 of the 2400 due.
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(300), 1500), 900u);
  clock.Delivered(900 + 1000);
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(900), 1000), 0u) << "on time from then on";
  EXPECT_EQ(clock.SilenceAtStop(kT0 + milliseconds(900)), 0u);

  // A PCM that delivers more than is due (a file) is owed nothing.
  clock.Start(kT0);
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(10), 1000), 0u);
}

TEST(CaptureClock, ATakeWhosePcmNeverDeliveredOrWasLostIsSilenceUpToItsStop) {
  CaptureClock clock(8000);
  const std::uint64_t before = clock.take();
  clock.Start(kT0);
  EXPECT_EQ(clock.SilenceAtStop(kT0 + milliseconds(100)), 800u);
  clock.Stop();
  clock.Stop();
  EXPECT_EQ(clock.take(), before + 2) << "a start and a stop, each counted once";
  EXPECT_FALSE(clock.running());

  // Lost after 1000 bytes: silence keeps time less what may still come;
  // once the PCM is back, what it lacks goes before its next bytes.
  clock.Start(kT0);
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(125), 1000), 0u);
  clock.Delivered(1000);
  clock.Lose();
  EXPECT_EQ(clock.GapSilence(kT0 + milliseconds(500), 1000), 2000u);
  clock.Delivered(2000);
  EXPECT_EQ(clock.SilenceAtStop(kT0 + milliseconds(750)), 3000u);
  clock.CatchUp();
  EXPECT_EQ(clock.GapSilence(kT0 + milliseconds(750), 0), 0u) << "back: no gap";
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(1000), 1000), 4000u);
}

}  // namespace
