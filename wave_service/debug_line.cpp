// MIRN_DEBUG's lines: read once, written whole.
#include "wave_service/debug_line.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace wave_service {

bool DebugWanted() {
  static const bool wanted = [] {
    const char* debug = std::getenv("MIRN_DEBUG");
    return debug != nullptr && *debug != '\0';
  }();
  return wanted;
}

void DebugLine(const char* format, ...) {
  if (!DebugWanted()) return;
  // Formatted first, then written in one call, so that lines from two
  // threads never interleave.
  char line[512];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "mirn: %s\n", line);
  std::fflush(stderr);
}

}  // namespace wave_service
