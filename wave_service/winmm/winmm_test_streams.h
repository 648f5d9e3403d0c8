// What the Windows tests of winmm read back: the streams Wine's winmm played
// into ALSA's file-backed "default" (one file each, in the folder of the
// ALSA configuration scripts/test-windows.sh names), and a bounded wait.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace wave_service::test {

using Bytes = std::vector<std::uint8_t>;

// Looks every millisecond, for at most 30 s: a test fails rather than hangs.
template <class Done>
bool WaitFor(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A stream as ALSA received it is the play's bytes, whole and in order, with
// nothing between or after them but Wine's own silence (0x80): Wine writes
// it while an output stays open with nothing left to play, and, ALSA's file
// plugin taking bytes faster than real time, wherever this machine's load
// held the device's thread up between two headers.
inline ::testing::AssertionResult PlaysAs(const Bytes& stream, const Bytes& play) {
  // Matching each byte as early as it can be matched finds the play in the
  // stream whenever the silence can be taken out to leave it.
  std::size_t matched = 0;
  for (std::size_t at = 0; at < stream.size(); ++at) {
    if (matched < play.size() && stream[at] == play[matched]) {
      ++matched;
    } else if (stream[at] != 0x80) {
      return ::testing::AssertionFailure()
             << "byte " << at << " of a stream of " << stream.size()
             << " is neither the play's next byte (" << matched << " of " << play.size()
             << ") nor silence";
    }
  }
  if (matched < play.size()) {
    return ::testing::AssertionFailure()
           << "a stream of " << stream.size() << " bytes holds only " << matched << " of the play's "
           << play.size();
  }
  return ::testing::AssertionSuccess();
}

// The folder the file-backed "default" plays every stream into.
class PlayedStreams {
 public:
  // Empties the folder; fails the test outside scripts/test-windows.sh.
  void SetUp() {
    const char* config = std::getenv("ALSA_CONFIG_PATH");
    ASSERT_NE(config, nullptr) << "run by scripts/test-windows.sh";
    // A Unix path: on Wine's drive Z:.
    folder_ = std::filesystem::path(std::string("Z:") + config).parent_path();
    for (const std::filesystem::path& file : Files()) std::filesystem::remove(file);
  }
  const std::filesystem::path& folder() const { return folder_; }

  // The files ALSA played streams into, in open order.
  std::vector<std::filesystem::path> Files() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      if (entry.path().filename().string().starts_with("stream.raw")) files.push_back(entry.path());
    }
    std::ranges::sort(files);
    return files;
  }
  // What they hold, the empty ones left out.
  std::vector<Bytes> Played() const {
    std::vector<Bytes> played;
    for (const std::filesystem::path& file : Files()) {
      if (Bytes bytes = ReadBytes(file); !bytes.empty()) played.push_back(std::move(bytes));
    }
    return played;
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace wave_service::test
