// POSIX file calls for saving and loading, on descriptors: a load opens
// without blocking, a save writes a temporary file beside its target, syncs it
// and renames it over the target.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "wave_file/file_access.h"

namespace wave_file {

namespace {

int Descriptor(File file) { return static_cast<int>(file.handle); }

// The target itself. Only the open must not wait (for a pipe's reader); the
// writes may wait for a reader that reads.
bool BeginWritingDirectly(const char* path, Save& save) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return false;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  save.file.handle = fd;
  save.replaces = false;
  return true;
}

// A new file beside save.target: "<target>.<pid>-<n>.part". `existing` is the
// target's status, or null when there is no target yet.
bool BeginReplacing(Save& save, const struct stat* existing) {
  // A file the caller may not write is not replaced either.
  if (existing != nullptr && access(save.target, W_OK) != 0) return false;
  int fd = -1;
  for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    const int length = std::snprintf(save.temp_path, kSavePathSize, "%s.%ld-%u.part", save.target,
                                     static_cast<long>(getpid()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= kSavePathSize) {
      errno = ENAMETOOLONG;
      break;
    }
    if (FileFaultDue(FileStep::kCreate)) {
      errno = ENOSPC;
      break;
    }
    // A new target gets the permissions a plain create would give it.
    fd = open(save.temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
              existing != nullptr ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    // A folder that takes no new names (or none this long) while its file may
    // be written: the file is written in place, as it always was.
    if (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG) {
      return BeginWritingDirectly(save.target, save);
    }
    return false;
  }
  if (existing != nullptr) {
    // Owner first (when allowed): changing it clears set-id bits.
    [[maybe_unused]] const int owned = fchown(fd, existing->st_uid, existing->st_gid);
    fchmod(fd, existing->st_mode & 07777);
  }
  save.file.handle = fd;
  save.replaces = true;
  return true;
}

// Makes the rename itself durable; a folder that cannot be synced is no
// reason to report a saved file as lost.
void SyncFolderOf(const char* target) {
  char folder[kSavePathSize];
  const char* slash = std::strrchr(target, '/');
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else {
    const std::size_t length = slash == target ? 1 : static_cast<std::size_t>(slash - target);
    std::memcpy(folder, target, length);
    folder[length] = '\0';
  }
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool OpenForLoad(const char* path, File& file) {
  // Refused before any open: opening a pipe or a device may wait or act.
  struct stat status;
  if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  // The path may have been replaced between the two looks.
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return false;
  }
  file.handle = fd;
  return true;
}

std::size_t Read(File file, void* into, std::size_t count) {
  auto* next = static_cast<char*>(into);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = read(Descriptor(file), next + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void Close(File& file) {
  if (file.handle >= 0) close(Descriptor(file));
  file.handle = -1;
}

bool BeginSave(const char* path, Save& save) {
  save.file.handle = -1;
  save.replaces = false;
  save.temp_path[0] = '\0';
  if (!CopySavePath(path, save.target)) return false;

  struct stat status;
  if (lstat(path, &status) != 0) {
    // No such file yet (a missing folder fails at the create).
    return errno == ENOENT && BeginReplacing(save, nullptr);
  }
  if (S_ISLNK(status.st_mode)) {
    // The link stays and the file it names is replaced. A link that names
    // nothing is written through, creating its file, as it always was.
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr || stat(resolved, &status) != 0) {
      return BeginWritingDirectly(path, save);
    }
    if (S_ISREG(status.st_mode) && CopySavePath(resolved, save.target)) {
      return BeginReplacing(save, &status);
    }
    return BeginWritingDirectly(path, save);
  }
  if (S_ISREG(status.st_mode)) return BeginReplacing(save, &status);
  return BeginWritingDirectly(path, save);
}

bool Write(Save& save, const void* bytes, std::size_t count) {
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    if (FileFaultDue(FileStep::kWrite)) return false;
    const ssize_t n = write(Descriptor(save.file), next, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FinishSave(Save& save) {
  const int fd = Descriptor(save.file);
  save.file.handle = -1;
  bool ok = true;
  if (save.replaces) ok = !FileFaultDue(FileStep::kSync) && fsync(fd) == 0;
  // Closed whatever happened before; a full disk may show only here.
  const bool fault = FileFaultDue(FileStep::kClose);
  ok = close(fd) == 0 && !fault && ok;
  if (!save.replaces) return ok;
  ok = ok && !FileFaultDue(FileStep::kRename) && rename(save.temp_path, save.target) == 0;
  if (!ok) {
    unlink(save.temp_path);
    return false;
  }
  SyncFolderOf(save.target);
  return true;
}

void AbandonSave(Save& save) {
  Close(save.file);
  if (save.replaces) unlink(save.temp_path);
}

}  // namespace wave_file
