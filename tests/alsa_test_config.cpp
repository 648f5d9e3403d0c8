// Writes the file-backed ALSA configuration and its infile for a test.
#include "tests/alsa_test_config.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace mirn::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStreamFile = "stream.raw";

// Through ALSA's plug layer, as "default" mostly is, which takes rates from
// 4,000/s up. Capture reads the infile over a null device (each open starts
// it again at its first byte); playback writes each stream's raw bytes to
// stream.raw, stream.raw.0001, ... (truncate false numbers the files instead
// of overwriting). Neither runs in real time.
std::string FilesConfig(const fs::path& dir) {
  return "pcm.!default {\n"
         "  type plug\n"
         "  slave.pcm {\n"
         "    type asym\n"
         "    capture.pcm {\n"
         "      type file\n"
         "      slave.pcm { type null }\n"
         "      file \"/dev/null\"\n"
         "      infile \"" + (dir / "infile.raw").string() + "\"\n"
         "      format \"raw\"\n"
         "    }\n"
         "    playback.pcm {\n"
         "      type file\n"
         "      slave.pcm { type null }\n"
         "      file \"" + (dir / kStreamFile).string() + "\"\n"
         "      truncate false\n"
         "      format \"raw\"\n"
         "    }\n"
         "  }\n"
         "}\n";
}

}  // namespace

AlsaTestConfig::AlsaTestConfig(Default kind, std::size_t infile_bytes) {
  std::string pattern = (fs::temp_directory_path() / "mirn_alsa_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();  // no folder: nothing can be tested
  dir_ = pattern;

  Bytes infile(infile_bytes);
  for (std::size_t n = 0; n < infile.size(); ++n) infile[n] = InfileByte(n);
  std::ofstream(dir_ / "infile.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(infile.data()),
             static_cast<std::streamsize>(infile.size()));

  const fs::path config = dir_ / "asound.conf";
  std::ofstream(config) << (kind == Default::kFiles ? FilesConfig(dir_)
                                                    : "pcm.!default \"mirn_no_such_device\"\n");
  setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
}

AlsaTestConfig::~AlsaTestConfig() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::vector<fs::path> AlsaTestConfig::StreamFiles() const {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    // A PCM opened and never played (opened ahead of its call) leaves an empty file.
    if (entry.path().filename().string().starts_with(kStreamFile) && entry.file_size() > 0) {
      files.push_back(entry.path());
    }
  }
  // stream.raw sorts before stream.raw.0001, and the numbers are zero-padded.
  std::ranges::sort(files);
  return files;
}

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

int CountEntries(const fs::path& folder) {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

int RunningThreads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
  }
  return -1;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace mirn::test
