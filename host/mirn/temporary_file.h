// Temporary files of mirn: standard input spooled to a regular file, a
// recording saved before it is put in place, a file converted for the
// library. Each is removed when its owner goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace mirn::cli {

class TemporaryFile {
 public:
  // A new empty file mirn-XXXXXX<suffix> in $TMPDIR, or in /tmp when that is
  // unset or would make a path longer than the library takes.
  static std::optional<TemporaryFile> Create(std::string_view suffix, std::string* error);

  TemporaryFile() = default;
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  const std::string& path() const { return path_; }

 private:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  std::string path_;  // empty: nothing to remove
};

// Copies all of standard input into a new temporary file.
std::optional<TemporaryFile> SpoolStandardInput(std::string* error);

// A copy of at most the first `limit` bytes of the regular file at `path`,
// under a short temporary name: the library takes short paths only.
std::optional<TemporaryFile> ShortCopy(const std::string& path, std::uint64_t limit,
                                       std::string* error);

// Copies the file's bytes to the stream (standard output for `record -`).
bool CopyFileTo(const std::string& path, std::FILE* to, std::string* error);

// Puts the file `from` at `to`: renamed where both lie on one file system,
// else copied beside `to` and renamed over it, so `to` is never left half
// written. `from` is gone afterwards only when it was renamed.
bool PutInPlace(const std::string& from, const std::string& to, std::string* error);

}  // namespace mirn::cli
