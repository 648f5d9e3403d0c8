// The progress line's bar and numbers, the tone replay's length, and waits
// that end on an interrupt without ending the program.
#include "host/mirn/progress.h"

#include <gtest/gtest.h>

#include <csignal>

#include "host/mirn/sessions.h"

namespace mirn::cli {
namespace {

TEST(Progress, BarFollowsElapsedTimeWithinItsWidth) {
  EXPECT_EQ(ProgressLine("Recording ", 0, 200, 10), "Recording     0.0 s / 200.0 s  [..........]");
  EXPECT_EQ(ProgressLine("Playing ", 1.25, 2.5, 4), "Playing     1.2 s / 2.5 s  [##..]");
  // Past the end (a late redraw) and a zero-length sound show a full bar.
  EXPECT_EQ(ProgressLine("", 3, 2, 4), "    3.0 s / 2.0 s  [####]");
  EXPECT_EQ(ProgressLine("", 0, 0, 4), "    0.0 s / 0.0 s  [####]");
}

TEST(Progress, InterruptEndsTheWaitNotTheProgram) {
  EXPECT_EQ(WaitShowingProgress("", 0, 0, false), WaitEnd::kDone);
  CatchInterrupts();
  ASSERT_FALSE(Interrupted());
  std::raise(SIGINT);
  EXPECT_TRUE(Interrupted());
  // A day-long wait ends at once.
  EXPECT_EQ(WaitShowingProgress("", 86400, 86400, false), WaitEnd::kInterrupted);
}

TEST(ToneReplay, ItsThreePassesOneAfterAnother) {
  // 11025 / 5512 = 2: the replay's first pass plays twice the bytes at 8000.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 5512), 8000.0 / 5512 + 2.0 + 1.0);
  // Above 11025 the scaled pass is empty.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 22050), 8000.0 / 22050 + 1.0);
  // The scaled pass stops at the end of the store: 200 s, not 250.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(1'000'000, 5512), 1e6 / 5512 + 200.0 + 125.0);
  // Factor 1: the replay's two passes are one play; at 8000 all three are.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(1'000'000, 11025), 1e6 / 11025 + 125.0);
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 8000), 1.0);
  EXPECT_DOUBLE_EQ(PlaySeconds(8000, 16000), 0.5);
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(0, 8000), 0.0);
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 0), 0.0);
}

}  // namespace
}  // namespace mirn::cli
