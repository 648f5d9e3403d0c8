// Waiting while the device records or plays: a live progress line on a
// terminal, and an early end on Ctrl-C.
#pragma once

#include <string>
#include <string_view>

namespace mirn::cli {

// Makes SIGINT and SIGTERM set the interrupt flag instead of ending the
// program, so a recording can still be stopped and saved.
void CatchInterrupts();
bool Interrupted();

// "Recording   12.3 s / 200.0 s  [###.......]": elapsed against total, with
// a bar `bar_width` wide.
std::string ProgressLine(std::string_view label, double elapsed, double total, int bar_width);

// How a wait ended.
enum class WaitEnd { kDone, kInterrupted };

// Waits `seconds`, redrawing a progress line on standard error against
// `scale` seconds when show is true (the line is finished with a newline).
// Ends early on an interrupt.
WaitEnd WaitShowingProgress(std::string_view label, double seconds, double scale, bool show);

}  // namespace mirn::cli
