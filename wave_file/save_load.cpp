// SoundRecordSave and SoundRecordLoad: the store written to and read from a
// wave file at the caller's path, through the platform's file calls.
#include <algorithm>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "text/text_conversion.h"
#include "wave_file/file_access.h"
#include "wave_file/wave_file_header.h"
#include "wave_service/shared_words.h"

namespace {

using mirn::g_sound_state;

// Holds the narrow path with its zero byte: at most 99 bytes of path.
constexpr std::size_t kPathBufferSize = 100;
// Store bytes pass through the stack in pieces of this size: the store is
// shared with a running device, and only wave_service's copies may touch it.
constexpr std::uint32_t kChunkSize = 8192;

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

extern "C" MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordSave(AutomationString path, int32_t rate) {
  char path_buffer[kPathBufferSize];
  if (!TakePath(path, path_buffer)) return -1;

  const auto& s = g_sound_state;
  // The position may count more bytes than the store holds.
  const std::uint32_t size = std::min(s.PositionRecord.bytes, mirn::kStoreSize);
  const mirn::WaveFileHeader header =
      mirn::BuildWaveFileHeader(static_cast<std::uint32_t>(rate), size);

  // A failed save leaves the old file as it was and no new one.
  wave_file::Save save;
  if (!wave_file::BeginSave(path_buffer, save)) return -1;
  bool written = wave_file::Write(save, header.data(), header.size());
  std::uint8_t chunk[kChunkSize];
  for (std::uint32_t done = 0; written && done < size;) {
    const std::uint32_t n = std::min(size - done, kChunkSize);
    wave_service::CopyFromShared(chunk, s.SampleBuffer + done, n);
    written = wave_file::Write(save, chunk, n);
    done += n;
  }
  if (!written) {
    wave_file::AbandonSave(save);
    return -1;
  }
  return wave_file::FinishSave(save) ? static_cast<int32_t>(size) : -1;
}

extern "C" MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordLoad(AutomationString path) {
  char path_buffer[kPathBufferSize];
  if (!TakePath(path, path_buffer)) return -1;

  // Regular files only: a pipe, a socket, a device or a folder is refused at
  // once rather than waited on. Bytes arrive unchanged (no text mode).
  wave_file::File file;
  if (!wave_file::OpenForLoad(path_buffer, file)) return -1;
  mirn::WaveFileHeader header;
  if (wave_file::Read(file, header.data(), header.size()) != header.size()) {
    wave_file::Close(file);
    return -1;  // nothing changed: no header, no recording
  }

  auto& s = g_sound_state;
  mirn::SetRecordingFormat(s.WaveFormat);
  s.BufferHeader.data = s.SampleBuffer;
  s.BufferHeader.buffer_length = mirn::kStoreSize;
  wave_service::StoreShared(s.BufferHeader.flags, 0);

  // The stated size, but never past the store nor past the file's end. Store
  // bytes past them keep their content.
  const std::uint32_t limit = std::min(mirn::WaveFileDataSize(header), mirn::kStoreSize);
  std::uint32_t size = 0;
  std::uint8_t chunk[kChunkSize];
  while (size < limit) {
    const std::uint32_t wanted = std::min(limit - size, kChunkSize);
    const auto n = static_cast<std::uint32_t>(wave_file::Read(file, chunk, wanted));
    wave_service::CopyIntoShared(s.SampleBuffer + size, chunk, n);
    size += n;
    if (n < wanted) break;  // the file's end
  }
  wave_file::Close(file);

  mirn::SetBytesRecorded(size);
  s.PositionRecord.bytes = size;
  s.WaveFormat.extra_size = static_cast<std::uint16_t>(size);  // its low 16 bits
  s.BufferHeader.buffer_length = size;
  s.RecordedLength = size;
  return static_cast<int32_t>(size);
}
