// SoundRecordSave and SoundRecordLoad: the store written to and read from a
// wave file at the caller's path, through the platform's stdio streams.
#include <algorithm>
#include <cstdio>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "text/text_conversion.h"
#include "wave_file/wave_file_header.h"
#include "wave_service/shared_words.h"

namespace {

using mirn::g_sound_state;

// Holds the narrow path with its zero byte: at most 99 bytes of path.
constexpr std::size_t kPathBufferSize = 100;

// Converts the caller's path into path_buffer and releases the caller's
// string, which the library owns from the call on, whatever the outcome.
// False, with nothing to open, for a null path or one that does not fit.
bool TakePath(AutomationString path, char (&path_buffer)[kPathBufferSize]) {
  bool fits = false;
  if (path != nullptr) {
    // Up to the first zero character, which is converted too; the length
    // prefix is not used.
    const std::size_t count = text_conversion::WideLength(path) + 1;
    fits = text_conversion::WideToNarrow(path, count, path_buffer, kPathBufferSize) <=
           kPathBufferSize;
  }
  SysFreeString(path);
  return fits;
}

}  // namespace

extern "C" MIRNDLL_API int32_t SoundRecordSave(AutomationString path, int32_t rate) {
  char path_buffer[kPathBufferSize];
  if (!TakePath(path, path_buffer)) return -1;

  const auto& s = g_sound_state;
  // The position may count more bytes than the store holds.
  const std::uint32_t size = std::min(s.PositionRecord.bytes, mirn::kStoreSize);
  const mirn::WaveFileHeader header =
      mirn::BuildWaveFileHeader(static_cast<std::uint32_t>(rate), size);

  std::FILE* file = std::fopen(path_buffer, "wb");
  if (file == nullptr) return -1;
  bool written = std::fwrite(header.data(), header.size(), 1, file) == 1;
  if (written && size > 0) written = std::fwrite(s.SampleBuffer, size, 1, file) == 1;
  // A full disk may only show when the buffered data is flushed at the close.
  const bool closed = std::fclose(file) == 0;
  return written && closed ? static_cast<int32_t>(size) : -1;
}

extern "C" MIRNDLL_API int32_t SoundRecordLoad(AutomationString path) {
  char path_buffer[kPathBufferSize];
  if (!TakePath(path, path_buffer)) return -1;

  // "r" is already binary here: bytes arrive unchanged.
  std::FILE* file = std::fopen(path_buffer, "r");
  if (file == nullptr) return -1;
  mirn::WaveFileHeader header;
  if (std::fread(header.data(), header.size(), 1, file) != 1) {
    std::fclose(file);
    return -1;  // nothing changed: no header, no recording
  }

  auto& s = g_sound_state;
  mirn::SetRecordingFormat(s.WaveFormat);
  s.BufferHeader.data = s.SampleBuffer;
  s.BufferHeader.buffer_length = mirn::kStoreSize;
  wave_service::StoreShared(s.BufferHeader.flags, 0);

  // The stated size, but never past the store nor past the file's end: read
  // byte-sized items, so the count is exactly the bytes the file held. Store
  // bytes past them keep their content.
  const std::uint32_t limit = std::min(mirn::WaveFileDataSize(header), mirn::kStoreSize);
  const auto size = static_cast<std::uint32_t>(std::fread(s.SampleBuffer, 1, limit, file));
  std::fclose(file);  // opened for reading only: nothing to lose at the close

  mirn::SetBytesRecorded(size);
  s.PositionRecord.bytes = size;
  s.WaveFormat.extra_size = static_cast<std::uint16_t>(size);  // its low 16 bits
  s.BufferHeader.buffer_length = size;
  s.RecordedLength = size;
  return static_cast<int32_t>(size);
}
