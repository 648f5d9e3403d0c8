// The platform's file calls behind saving and loading: a load reads regular
// files only and never blocks; a save writes beside its target and replaces it
// only once the whole file is safely written. One implementation per platform
// (file_access_posix.cpp, file_access_windows.cpp); each allocates nothing
// and takes no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wave_file {

// An open file: a descriptor on POSIX (a HANDLE's value elsewhere); -1 for none.
struct File {
  std::intptr_t handle = -1;
};

// Opens `path` for reading when it names a regular file (links followed).
// Anything else (a pipe, a socket, a device, a folder) is refused at once,
// without waiting for a writer or reading a byte.
bool OpenForLoad(const char* path, File& file);
// Reads `count` bytes, fewer only at the end of the file or on an error;
// returns the bytes read.
std::size_t Read(File file, void* into, std::size_t count);
void Close(File& file);

// Paths a save keeps: the target with its links resolved, and the temporary
// file's name beside it.
inline constexpr std::size_t kSavePathSize = 512;

// Copies `path` into `out`, or false (and nothing copied) when it does not fit.
inline bool CopySavePath(const char* path, char (&out)[kSavePathSize]) {
  const std::size_t length = std::strlen(path);
  if (length >= kSavePathSize) return false;
  std::memcpy(out, path, length + 1);
  return true;
}

// A save in progress. When `replaces`, the bytes go to `temp_path`, a new file
// in the target's folder with the target's permission bits, which is renamed
// over `target` at the end; otherwise they go to the target itself: a target
// that exists and is not a regular file (/dev/null, a pipe) is written as it
// stands, like one whose folder accepts no new files.
struct Save {
  File file;
  bool replaces = false;
  char target[kSavePathSize];
  char temp_path[kSavePathSize];
};

// Opens the file a save writes, or false with nothing left behind. Never
// blocks on a pipe with no reader.
bool BeginSave(const char* path, Save& save);
// Writes all `count` bytes, or false.
bool Write(Save& save, const void* bytes, std::size_t count);
// Completes the save: flushed to the disk, closed and renamed over the target.
// False when any step fails; the temporary file is then removed and the
// target is as it was.
bool FinishSave(Save& save);
// Gives a save up: closes it and removes the temporary file.
void AbandonSave(Save& save);

// Fault injection for tests, in the manner of the wave service's: the step
// fails after `pass_first` calls that succeed, once. Unarmed, each step costs
// one relaxed atomic load.
enum class FileStep : std::uint8_t { kCreate, kWrite, kSync, kClose, kRename, kCount };
void InjectFileFault(FileStep step, std::uint32_t pass_first);
void ClearFileFaults();
// For implementations: true when this call of `step` must fail instead.
bool FileFaultDue(FileStep step);

}  // namespace wave_file
