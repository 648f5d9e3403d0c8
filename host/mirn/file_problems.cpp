// Looks at a path the way the library's fopen will: its text, its directory,
// the file itself and the permissions the calling user has.
#include "host/mirn/file_problems.h"

#include <sys/stat.h>

#include <filesystem>

#include "host/mirn/system.h"
#include "host/mirn/wave_file_info.h"

namespace mirn::cli {
namespace {

// Problems with the text of the path itself, before the file system.
std::string PathTextProblem(const std::string& path) {
  if (path.empty()) return "the path is empty";
  // The library gets the path as UTF-16 and opens its narrow form, so bytes
  // that are not text would name another file.
  if (!sys::PathTextIsValid(path)) return std::string("the path is not valid ") + sys::kPathEncoding;
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
  if (!sys::MayEnter(directory)) {
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
    if (!sys::MayWrite(path)) return "no permission to write " + path;
    return "";
  }
  const std::string directory = DirectoryOf(path);
  if (std::string problem = DirectoryProblem(directory); !problem.empty()) return problem;
  if (!sys::MayWrite(directory)) return "no permission to create files in " + directory;
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
  if (!sys::MayRead(path)) return "no permission to read " + path;
  if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) < kLibraryHeaderSize) {
    return "it is " + std::to_string(status.st_size) +
           " bytes long, shorter than the 52-byte header of a saved recording";
  }
  return "";
}

}  // namespace mirn::cli
