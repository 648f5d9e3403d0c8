// The progress line is redrawn in place with a carriage return ten times a
// second; the wait itself follows the monotonic clock, so a redraw that runs
// late never stretches it.
#include "host/mirn/progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

#include "host/mirn/system.h"

namespace mirn::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt() { g_interrupted = 1; }

using Clock = std::chrono::steady_clock;
constexpr auto kRedraw = std::chrono::milliseconds(100);

}  // namespace

void CatchInterrupts() { sys::OnInterrupt(OnInterrupt); }

bool Interrupted() { return g_interrupted != 0; }

std::string ProgressLine(std::string_view label, double elapsed, double total, int bar_width) {
  const double fraction = total > 0 ? std::clamp(elapsed / total, 0.0, 1.0) : 1.0;
  const int filled = static_cast<int>(std::lround(fraction * bar_width));
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%7.1f s / %.1f s  [", elapsed, total);
  std::string line(label);
  line += numbers;
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(bar_width - filled), '.');
  line += ']';
  return line;
}

WaitEnd WaitShowingProgress(std::string_view label, double seconds, double scale, bool show) {
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seconds));
  auto draw = [&](Clock::time_point now) {
    if (!show) return;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    // \r returns to the line's start; \033[K clears what a longer line left.
    std::fprintf(stderr, "\r%s\033[K", ProgressLine(label, elapsed, scale, 30).c_str());
    std::fflush(stderr);
  };

  WaitEnd how = WaitEnd::kDone;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    if (Interrupted()) {
      how = WaitEnd::kInterrupted;
      break;
    }
    draw(now);
    std::this_thread::sleep_for(std::min<Clock::duration>(kRedraw, end - now));
  }
  draw(how == WaitEnd::kDone ? end : Clock::now());  // a finished wait shows all of it
  if (show) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  return how;
}

}  // namespace mirn::cli
