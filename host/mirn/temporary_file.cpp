// Temporary files made with mkstemps, written and copied with plain POSIX
// calls so that every failure has its errno.
#include "host/mirn/temporary_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/mirn/file_problems.h"

namespace mirn::cli {
namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes all of size bytes, through short writes and interrupts.
bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t wrote = write(fd, bytes, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

// Copies everything readable from one descriptor to the other.
bool CopyAll(int from, int to) {
  char block[1 << 16];
  for (;;) {
    const ssize_t got = read(from, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(to, block, static_cast<std::size_t>(got))) return false;
  }
}

// mkstemp makes a file for its owner alone; a saved file takes the mode any
// new file of the user's would have.
bool TakeUsualMode(const std::string& path) {
  const mode_t mask = umask(0);
  umask(mask);
  return chmod(path.c_str(), 0666 & ~mask) == 0;
}

}  // namespace

std::optional<TemporaryFile> TemporaryFile::Create(std::string_view suffix, std::string* error) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string directory = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  const std::string name = "/mirn-XXXXXX" + std::string(suffix);
  if (directory.size() + name.size() > kLongestPath) directory = "/tmp";
  std::string path = directory + name;
  const int fd = mkstemps(path.data(), static_cast<int>(suffix.size()));
  if (fd < 0) {
    *error = Reason("cannot make a temporary file in " + directory);
    return std::nullopt;
  }
  close(fd);
  return TemporaryFile(std::move(path));
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) unlink(path_.c_str());
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TemporaryFile::~TemporaryFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

std::optional<TemporaryFile> SpoolStandardInput(std::string* error) {
  auto file = TemporaryFile::Create(".in", error);
  if (!file) return std::nullopt;
  const int fd = open(file->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  const bool copied = fd >= 0 && CopyAll(STDIN_FILENO, fd);
  if (!copied) *error = Reason("cannot read standard input into " + file->path());
  if (fd >= 0 && close(fd) != 0 && copied) {
    *error = Reason("cannot write " + file->path());
    return std::nullopt;
  }
  if (!copied) return std::nullopt;
  return file;
}

bool CopyFileTo(const std::string& path, std::FILE* to, std::string* error) {
  std::fflush(to);
  const int from = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool copied = from >= 0 && CopyAll(from, fileno(to));
  if (!copied) *error = Reason("cannot copy " + path);
  if (from >= 0) close(from);
  return copied;
}

bool PutInPlace(const std::string& from, const std::string& to, std::string* error) {
  if (TakeUsualMode(from) && rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) {
    *error = Reason("cannot write " + to);
    return false;
  }
  // Another file system: a copy beside the target, then one rename.
  std::string beside = to + ".mirn-XXXXXX";
  const int fd = mkstemp(beside.data());
  if (fd < 0) {
    *error = Reason("cannot write beside " + to);
    return false;
  }
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  bool done = in >= 0 && CopyAll(in, fd) && fsync(fd) == 0;
  if (in >= 0) close(in);
  done = close(fd) == 0 && done;
  done = done && TakeUsualMode(beside) && rename(beside.c_str(), to.c_str()) == 0;
  if (!done) {
    *error = Reason("cannot write " + to);
    unlink(beside.c_str());
  }
  return done;
}

}  // namespace mirn::cli
