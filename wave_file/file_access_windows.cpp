// Windows file calls for saving and loading, on the system's own file
// handles (no C runtime stream, so nothing translates line ends or stops at
// byte 0x1A): a load opens disk files only, a save writes a temporary file
// beside its target, flushes it and moves it over the target.
#include <windows.h>

#include <cstdio>

#include "wave_file/file_access.h"

namespace wave_file {

namespace {

HANDLE Handle(File file) { return reinterpret_cast<HANDLE>(file.handle); }
std::intptr_t Value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The largest piece one ReadFile or WriteFile call moves.
constexpr std::size_t kMaxPiece = 1u << 30;

// True when `handle` is a file on a disk: not a console, a device or a pipe.
bool IsDiskFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The target itself: a device such as NUL or a pipe as it stands
// (OPEN_EXISTING), or a file in a folder that takes no new names
// (CREATE_ALWAYS). Opening a pipe never waits: with no free instance it fails
// at once.
bool BeginWritingDirectly(const char* path, DWORD disposition, Save& save) {
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  save.file.handle = Value(handle);
  save.replaces = false;
  return true;
}

// A new file beside save.target: "<target>.<pid>-<n>.part", with the
// target's attributes. `attributes` is INVALID_FILE_ATTRIBUTES when there is
// no target yet.
bool BeginReplacing(Save& save, DWORD attributes) {
  // A file the caller may not write is not replaced either.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
  DWORD kept = attributes == INVALID_FILE_ATTRIBUTES
                   ? 0
                   : attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  if (kept == 0) kept = FILE_ATTRIBUTE_NORMAL;
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  for (unsigned attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    const int length =
        std::snprintf(save.temp_path, kSavePathSize, "%s.%lu-%u.part", save.target,
                      static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= kSavePathSize) {
      error = ERROR_FILENAME_EXCED_RANGE;
      break;
    }
    if (FileFaultDue(FileStep::kCreate)) {
      error = ERROR_DISK_FULL;
      break;
    }
    handle = CreateFileA(save.temp_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, kept, nullptr);
    error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    // A folder that takes no new names (or none this long) while its file may
    // be written: the file is written in place.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_FILENAME_EXCED_RANGE) {
      return BeginWritingDirectly(save.target, CREATE_ALWAYS, save);
    }
    return false;
  }
  save.file.handle = Value(handle);
  save.replaces = true;
  return true;
}

// What lies at an existing path that is not a folder: a disk file, or
// something else (a device, a pipe) that is written as it stands.
bool NamesADiskFile(const char* path) {
  // No access asked: a query of the object, which reads and writes nothing.
  const HANDLE handle =
      CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool disk = IsDiskFile(handle);
  CloseHandle(handle);
  return disk;
}

}  // namespace

bool OpenForLoad(const char* path, File& file) {
  // Folders are refused before any open; devices and pipes once opened,
  // before a byte is read (their opens do not wait).
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  const HANDLE handle = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  if (!IsDiskFile(handle)) {
    CloseHandle(handle);
    return false;
  }
  file.handle = Value(handle);
  return true;
}

std::size_t Read(File file, void* into, std::size_t count) {
  auto* next = static_cast<char*>(into);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t piece = count - done < kMaxPiece ? count - done : kMaxPiece;
    DWORD n = 0;
    if (!ReadFile(Handle(file), next + done, static_cast<DWORD>(piece), &n, nullptr) || n == 0) {
      break;
    }
    done += n;
  }
  return done;
}

void Close(File& file) {
  if (file.handle != -1) CloseHandle(Handle(file));
  file.handle = -1;
}

bool BeginSave(const char* path, Save& save) {
  save.file.handle = -1;
  save.replaces = false;
  save.temp_path[0] = '\0';
  if (!CopySavePath(path, save.target)) return false;

  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // No such file yet (a missing folder fails at the create).
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND && BeginReplacing(save, INVALID_FILE_ATTRIBUTES);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  // A link (a reparse point) stays a link: it is written through in place,
  // since moving a file over it would replace the link itself.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && NamesADiskFile(path)) {
    return BeginReplacing(save, attributes);
  }
  return BeginWritingDirectly(path, OPEN_EXISTING, save);
}

bool Write(Save& save, const void* bytes, std::size_t count) {
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    if (FileFaultDue(FileStep::kWrite)) return false;
    const std::size_t piece = count < kMaxPiece ? count : kMaxPiece;
    DWORD n = 0;
    if (!WriteFile(Handle(save.file), next, static_cast<DWORD>(piece), &n, nullptr) || n == 0) {
      return false;
    }
    next += n;
    count -= n;
  }
  return true;
}

bool FinishSave(Save& save) {
  const HANDLE handle = Handle(save.file);
  save.file.handle = -1;
  bool ok = true;
  if (save.replaces) ok = !FileFaultDue(FileStep::kSync) && FlushFileBuffers(handle);
  // Closed whatever happened before.
  const bool fault = FileFaultDue(FileStep::kClose);
  ok = CloseHandle(handle) && !fault && ok;
  if (!save.replaces) return ok;
  // The move reaches the disk before it returns.
  ok = ok && !FileFaultDue(FileStep::kRename) &&
       MoveFileExA(save.temp_path, save.target,
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    DeleteFileA(save.temp_path);
    return false;
  }
  return true;
}

void AbandonSave(Save& save) {
  Close(save.file);
  if (save.replaces) DeleteFileA(save.temp_path);
}

}  // namespace wave_file
