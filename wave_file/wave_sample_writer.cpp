// Saves a known recording through SoundRecordSave, for a reader outside the
// library to check: 1,001 samples (i * 7 + 3) mod 256 at 11,025 samples/s.
// Usage: wave_sample_writer PATH (ASCII). Prints what SoundRecordSave returned.
#include <cstdint>
#include <cstdio>
#include <string>

#include "MirnDLL.h"
#include "library/sound_state.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PATH\n", argv[0]);
    return 2;
  }
  auto& s = mirn::g_sound_state;
  for (std::uint32_t i = 0; i < 1001; ++i) s.SampleBuffer[i] = static_cast<std::uint8_t>(i * 7 + 3);
  s.PositionRecord.bytes = 1001;

  const std::string narrow = argv[1];
  const std::basic_string<AutomationChar> wide(narrow.begin(), narrow.end());
  const std::int32_t saved = SoundRecordSave(SysAllocString(wide.c_str()), 11025);
  std::printf("%d\n", static_cast<int>(saved));
  return saved == 1001 ? 0 : 1;
}
