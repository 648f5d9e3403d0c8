// Test support for mirn's unit tests: a scratch directory of the test
// process, removed afterwards, and files of given bytes in it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace mirn::cli {

class ScratchDir {
 public:
  ScratchDir()
      : path_(std::filesystem::temp_directory_path() /
              ("mirn-cli-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string Path(const std::string& name) const { return (path_ / name).string(); }

  // Writes the bytes to name and returns its path.
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace mirn::cli
