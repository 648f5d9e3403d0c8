// Looks at a path the way the library's fopen will: its length in bytes, its
// directory, the file itself and the permissions the calling user has.
#include "host/mirn/file_problems.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "host/binding/host_strings.h"
#include "host/mirn/wave_file_info.h"

namespace mirn::cli {
namespace {

// Occurrences of part in text. Decoding turns each byte that is not UTF-8
// into U+FFFD, so a path is valid exactly when the replacement characters
// after decoding are the ones it spelled out itself.
template <typename String>
std::size_t CountOf(const String& text, const typename String::value_type* part) {
  const String needle(part);
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != String::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Problems with the text of the path itself, before the file system.
std::string PathTextProblem(const std::string& path) {
  if (path.empty()) return "the path is empty";
  // The library gets the path as UTF-16 and opens its UTF-8 form, so bytes
  // that are not UTF-8 would name another file.
  if (CountOf(mirn::host::Utf8ToUtf16(path), u"\uFFFD") != CountOf(path, "\xEF\xBF\xBD")) {
    return "the path is not valid UTF-8";
  }
  if (path.size() > kLongestPath) {
    return "the path is " + std::to_string(path.size()) + " bytes long; at most " +
           std::to_string(kLongestPath) + " are taken";
  }
  return "";
}

// The directory a path's file lives in ("." for a bare name).
std::string DirectoryOf(const std::string& path) {
  const std::string directory = std::filesystem::path(path).parent_path().string();
  return directory.empty() ? "." : directory;
}

// Problems with the directory: missing, not a directory, or not searchable.
std::string DirectoryProblem(const std::string& directory) {
  struct stat status {};
  if (stat(directory.c_str(), &status) != 0) {
    return "the directory " + directory + " does not exist";
  }
  if (!S_ISDIR(status.st_mode)) return directory + " is not a directory";
  if (access(directory.c_str(), X_OK) != 0) {
    return "no permission to enter the directory " + directory;
  }
  return "";
}

}  // namespace

std::string WhyCannotSave(const std::string& path) {
  if (std::string problem = PathTextProblem(path); !problem.empty()) return problem;
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return path + " is a directory";
    if (access(path.c_str(), W_OK) != 0) return "no permission to write " + path;
    return "";
  }
  const std::string directory = DirectoryOf(path);
  if (std::string problem = DirectoryProblem(directory); !problem.empty()) return problem;
  if (access(directory.c_str(), W_OK) != 0) return "no permission to create files in " + directory;
  return "";
}

std::string WhyCannotLoad(const std::string& path) {
  if (std::string problem = PathTextProblem(path); !problem.empty()) return problem;
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    if (std::string problem = DirectoryProblem(DirectoryOf(path)); !problem.empty()) return problem;
    return "there is no file " + path;
  }
  if (S_ISDIR(status.st_mode)) return path + " is a directory";
  if (access(path.c_str(), R_OK) != 0) return "no permission to read " + path;
  if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) < kLibraryHeaderSize) {
    return "it is " + std::to_string(status.st_size) +
           " bytes long, shorter than the 52-byte header of a saved recording";
  }
  return "";
}

}  // namespace mirn::cli
