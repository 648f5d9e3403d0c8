// The progress line's bar and numbers, and waits that end on an interrupt
// without ending the program.
#include "host/mirn/progress.h"

#include <gtest/gtest.h>

#include <csignal>

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

}  // namespace
}  // namespace mirn::cli
