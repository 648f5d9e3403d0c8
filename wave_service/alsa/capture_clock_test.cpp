// The take's clock on its own, with times given by the test: the silence a
// take is owed while its PCM is lost and once it is back.
#include "wave_service/alsa/capture_clock.h"

#include <gtest/gtest.h>

using wave_service::alsa::CaptureClock;
using std::chrono::milliseconds;

namespace {

const CaptureClock::Time kT0{};

TEST(CaptureClock, ALostPcmsTimeIsSilenceAndWhatItLacksOnceBackGoesBeforeItsBytes) {
  CaptureClock clock(8000);
  const std::uint64_t before = clock.take();
  clock.Start(kT0);
  EXPECT_EQ(clock.Due(kT0 + milliseconds(250)), 2000u);
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(125), 1000), 0u) << "on time";
  clock.Delivered(1000);
  // Lost: silence keeps time less what may still come; once the PCM is
  // back, what it lacks goes before its next bytes.
  clock.Lose();
  EXPECT_EQ(clock.GapSilence(kT0 + milliseconds(500), 1000), 2000u);
  clock.Delivered(2000);
  clock.CatchUp();
  EXPECT_EQ(clock.GapSilence(kT0 + milliseconds(750), 0), 0u) << "back: no gap";
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(1000), 1000), 4000u);
  clock.Delivered(5000);
  EXPECT_EQ(clock.SilenceBefore(kT0 + milliseconds(1125), 1000), 0u) << "on time again";

  clock.Stop();
  clock.Stop();
  EXPECT_EQ(clock.take(), before + 2) << "a start and a stop, each counted once";
  EXPECT_FALSE(clock.running());
}

}  // namespace
