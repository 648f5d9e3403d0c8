// ALSA set up for tests without sound hardware: "default" captures from a
// file of known bytes and plays each stream into a file of its own, all in a
// fresh folder of the test's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

namespace mirn::test {

using Bytes = std::vector<std::uint8_t>;

class AlsaTestConfig {
 public:
  enum class Default {
    kFiles,    // capture from the infile, play into stream files
    kMissing,  // "default" names a device that does not exist
  };

  // Writes the configuration and the infile and points ALSA_CONFIG_PATH at
  // them; call before anything in the process uses ALSA. The configuration
  // stands alone, so no configuration of the machine or the user applies.
  explicit AlsaTestConfig(Default kind = Default::kFiles,
                          std::size_t infile_bytes = kDefaultInfileBytes);
  // Removes the folder.
  ~AlsaTestConfig();
  AlsaTestConfig(const AlsaTestConfig&) = delete;
  AlsaTestConfig& operator=(const AlsaTestConfig&) = delete;

  // Longer than the sample store, so that everything a recording keeps comes
  // from the infile (ALSA goes on reading full counts past its end).
  static constexpr std::size_t kDefaultInfileBytes = 2'000'000;

  // Byte n of the infile: never 0, so it stands out from a cleared store,
  // and of a prime period, so a byte lost or repeated anywhere shows.
  static std::uint8_t InfileByte(std::uint64_t n) { return static_cast<std::uint8_t>(1 + n % 251); }

  const std::filesystem::path& dir() const { return dir_; }
  // The files the output streams played into, in open order.
  std::vector<std::filesystem::path> StreamFiles() const;

 private:
  std::filesystem::path dir_;
};

Bytes ReadBytes(const std::filesystem::path& path);

// Entries of a folder, such as /proc/self/fd (the open descriptors). 0 for a
// folder that cannot be read.
int CountEntries(const std::filesystem::path& folder);
// The threads the process runs, by the kernel's own count (a listing of
// /proc/self/task can miss an entry while threads end); -1 if unknown.
int RunningThreads();

// Waits until `done` holds, looking again every millisecond, for at most
// `limit`. False if it never held: the test fails rather than hangs.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace mirn::test
