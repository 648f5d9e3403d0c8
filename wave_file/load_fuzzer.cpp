// libFuzzer target for SoundRecordLoad: each input is the bytes of a file to
// load. A load gives -1 below 52 bytes with the state unchanged, else
// min(the size at offset 48, the bytes after the header, the store) with
// exactly those bytes in the store and the rest of the state as a recording of
// that size; a save right after writes the same recording back.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "automation/automation_stats.h"
#include "library/sound_state.h"
#include "wave_file/wave_file_header.h"

namespace {

using mirn::g_sound_state;
using mirn::kStoreSize;
using mirn::kWaveFileHeaderSize;
namespace off = mirn::wave_header_offset;

std::string g_input_path;
std::string g_saved_path;
// The state before the call, to compare against.
mirn::SoundState g_before;

AutomationString PathString(const std::string& ascii) {
  const std::u16string wide(ascii.begin(), ascii.end());
  return SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "load_fuzzer: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

std::uint32_t Get32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/dev/shm/mirn_fuzz_XXXXXX";
  char fallback[] = "/tmp/mirn_fuzz_XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) dir = mkdtemp(fallback);
  if (dir == nullptr) Fail("no scratch folder");
  g_input_path = std::string(dir) + "/in.wav";
  g_saved_path = std::string(dir) + "/saved.wav";
  // Something other than zero everywhere, so that a stray write shows.
  std::memset(&g_sound_state, 0x5A, sizeof g_sound_state);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::ofstream(g_input_path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  std::memcpy(&g_before, &g_sound_state, sizeof g_sound_state);
  const std::uint64_t held = AutomationStringsAllocated() - AutomationStringsReleased();

  const std::int32_t loaded = SoundRecordLoad(PathString(g_input_path));
  Check(AutomationStringsAllocated() - AutomationStringsReleased() == held, "path not released");
  auto& s = g_sound_state;
  if (size < kWaveFileHeaderSize) {
    Check(loaded == -1, "a file without a whole header loaded");
    Check(std::memcmp(&g_before, &s, sizeof s) == 0, "a refused load changed the state");
    return 0;
  }
  const std::uint32_t expected =
      std::min({Get32(data + off::kDataLength), static_cast<std::uint32_t>(size - kWaveFileHeaderSize),
                kStoreSize});
  Check(loaded == static_cast<std::int32_t>(expected), "wrong size loaded");
  Check(std::memcmp(s.SampleBuffer, data + kWaveFileHeaderSize, expected) == 0, "wrong bytes loaded");
  Check(std::memcmp(s.SampleBuffer + expected, g_before.SampleBuffer + expected,
                    kStoreSize - expected) == 0,
        "store bytes past the data changed");
  Check(s.RecordedLength == expected && s.PositionRecord.bytes == expected &&
            s.BufferHeader.buffer_length == expected && mirn::BytesRecorded() == expected &&
            s.WaveFormat.extra_size == static_cast<std::uint16_t>(expected) &&
            s.WaveFormat.samples_per_second == 8000 && s.BufferHeader.data == s.SampleBuffer,
        "the state is not that of the loaded recording");
  Check(s.InputHandle == g_before.InputHandle && s.OutputHandle == g_before.OutputHandle,
        "a load touched a handle");

  // Saved at the rate the file names, the recording comes back byte for byte.
  const auto rate = static_cast<std::int32_t>(Get32(data + off::kSampleRate));
  Check(SoundRecordSave(PathString(g_saved_path), rate) == loaded, "save returned another size");
  std::ifstream in(g_saved_path, std::ios::binary);
  const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
  const mirn::WaveFileHeader header =
      mirn::BuildWaveFileHeader(static_cast<std::uint32_t>(rate), expected);
  Check(saved.size() == kWaveFileHeaderSize + expected, "saved file of the wrong length");
  Check(std::equal(header.begin(), header.end(), saved.begin()), "saved header differs");
  Check(std::memcmp(saved.data() + kWaveFileHeaderSize, data + kWaveFileHeaderSize, expected) == 0, "saved samples differ");
  return 0;
}
