// Temporary files made with a unique name, written and copied with plain
// descriptor calls so that every failure has its errno.
#include "host/mirn/temporary_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/mirn/file_problems.h"
#include "host/mirn/system.h"

namespace mirn::cli {
namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes all of size bytes, through short writes and interrupts.
bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const auto wrote = write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(size, 1 << 30)));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

// Copies everything readable from one descriptor to the other, at most
// `limit` bytes.
bool CopyAll(int from, int to, std::uint64_t limit = UINT64_MAX) {
  char block[1 << 16];
  for (;;) {
    const auto got = read(from, block, static_cast<unsigned>(std::min<std::uint64_t>(sizeof block, limit)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(to, block, static_cast<std::size_t>(got))) return false;
    limit -= static_cast<std::uint64_t>(got);
  }
}

}  // namespace

std::optional<TemporaryFile> TemporaryFile::Create(std::string_view suffix, std::string* error) {
  const std::string name = sys::kSeparator + ("mirn-XXXXXX" + std::string(suffix));
  const std::string directory = sys::TemporaryFolder(kLongestPath - name.size());
  std::string path = directory + name;
  const int fd = sys::MakeTemporary(path, suffix.size());
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
    if (!path_.empty()) std::remove(path_.c_str());
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TemporaryFile::~TemporaryFile() {
  if (!path_.empty()) std::remove(path_.c_str());
}

std::optional<TemporaryFile> SpoolStandardInput(std::string* error) {
  auto file = TemporaryFile::Create(".in", error);
  if (!file) return std::nullopt;
  const int fd = sys::OpenToWrite(file->path());
  sys::UseBinary(stdin);
  const bool copied = fd >= 0 && CopyAll(fileno(stdin), fd);
  if (!copied) *error = Reason("cannot read standard input into " + file->path());
  if (fd >= 0 && close(fd) != 0 && copied) {
    *error = Reason("cannot write " + file->path());
    return std::nullopt;
  }
  if (!copied) return std::nullopt;
  return file;
}

std::optional<TemporaryFile> ShortCopy(const std::string& path, std::uint64_t limit,
                                       std::string* error) {
  const int from = sys::OpenToRead(path);
  struct stat status {};
  if (from < 0 || fstat(from, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = from < 0 ? Reason("cannot open " + path) : path + " is not a regular file";
    if (from >= 0) close(from);
    return std::nullopt;
  }
  auto file = TemporaryFile::Create(".wav", error);
  const int to = file ? sys::OpenToWrite(file->path()) : -1;
  bool copied = to >= 0 && CopyAll(from, to, limit);
  if (file && !copied) *error = Reason("cannot copy " + path + " to " + file->path());
  close(from);
  if (to >= 0) copied = close(to) == 0 && copied;
  if (!copied) return std::nullopt;
  return file;
}

bool CopyFileTo(const std::string& path, std::FILE* to, std::string* error) {
  sys::UseBinary(to);
  const int from = sys::OpenToRead(path);
  const bool copied = from >= 0 && CopyAll(from, fileno(to));
  if (!copied) *error = Reason("cannot copy " + path);
  if (from >= 0) close(from);
  return copied;
}

bool PutInPlace(const std::string& from, const std::string& to, std::string* error) {
  // A saved file takes the permissions any new file of the user's would have.
  if (sys::TakeUsualPermissions(from) && sys::RenameOver(from, to)) return true;
  if (errno != EXDEV) {
    *error = Reason("cannot write " + to);
    return false;
  }
  // Another file system: a copy beside the target, then one rename.
  std::string beside = to + ".mirn-XXXXXX";
  const int fd = sys::MakeTemporary(beside, 0);
  if (fd < 0) {
    *error = Reason("cannot write beside " + to);
    return false;
  }
  const int in = sys::OpenToRead(from);
  bool done = in >= 0 && CopyAll(in, fd) && sys::SyncToDisk(fd);
  if (in >= 0) close(in);
  done = close(fd) == 0 && done;
  done = done && sys::TakeUsualPermissions(beside) && sys::RenameOver(beside, to);
  if (!done) {
    *error = Reason("cannot write " + to);
    std::remove(beside.c_str());
  }
  return done;
}

}  // namespace mirn::cli
