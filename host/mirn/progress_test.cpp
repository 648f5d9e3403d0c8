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

TEST(ToneReplay, LongestOfItsThreeStreams) {
  // 11025 / 5512 = 2: the replay's first pass plays twice the bytes at 8000.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 5512), 2.0);
  // 11025 / 1000 = 11: 88000 bytes at 8000 outlast 8000 bytes at 1000.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 1000), 11.0);
  // Above 11025 the scaled pass is empty; the plain replay at 8000 is longest.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 22050), 1.0);
  // At a slow rate the first stream is longest.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 20), 400.0);  // the replay is 200 s at most
  // The scaled pass stops at the end of the store: 200 s, not 250.
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(1'000'000, 5512), 200.0);
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(1'000'000, 11025), 125.0);
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(0, 8000), 0.0);
  EXPECT_DOUBLE_EQ(ToneReplaySeconds(8000, 0), 0.0);
}

}  // namespace
}  // namespace mirn::cli
