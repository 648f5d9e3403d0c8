// A host that unloads the library, or exits, while a recording or a playback
// runs on ALSA's file-backed "default". It links neither libMirnDLL.so nor
// libMirnWave.so, so unloading the one unloads the other, which must stop
// and join its threads on the way out.
//
//   mirn_unload_host record|play unload|exit
//
// Exits 0 when all went well; a crash, a hang (left to the test's timeout)
// or a thread or library left behind fails.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "host/binding/host_strings.h"
#include "host/binding/library_binding.h"
#include "tests/alsa_test_config.h"

namespace {

using mirn::host::LibraryBinding;

// Kept in static storage so that exit() removes its folder too, after the
// library's own shutdown (which was set up later, so runs first).
mirn::test::AlsaTestConfig& Config() {
  static mirn::test::AlsaTestConfig config;
  return config;
}

int Threads() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

bool Mapped(std::string_view file_name) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(file_name) != std::string::npos) return true;
  }
  return false;
}

// A file SoundRecordLoad takes: 52 header bytes, of which only the data size
// at offset 48 is read, then the whole store of samples.
std::string WriteTake() {
  constexpr std::uint32_t kSize = 1'600'000;
  const std::string path = (Config().dir() / "take.wav").string();
  std::string bytes(52 + kSize, '\x80');
  for (int i = 0; i < 4; ++i) bytes[48 + i] = static_cast<char>(kSize >> (8 * i));
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

bool Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "mirn_unload_host: %s\n", what);
  return ok;
}

// Loads the library and leaves it recording or playing.
std::unique_ptr<LibraryBinding> StartSound(bool play, const std::string& take) {
  std::string error;
  auto binding = LibraryBinding::Open(MIRN_LIBRARY_PATH, mirn::host::BindBy::kName, &error);
  if (binding == nullptr) {
    std::fprintf(stderr, "mirn_unload_host: %s\n", error.c_str());
    std::exit(1);
  }
  const auto& mirn = binding->exports();
  if (play) {
    Check(mirn.SoundRecordLoad(mirn::host::NewAutomationString(take)) == 1'600'000, "load");
    Check(mirn.SoundRecordPlay(8000) == 3, "play");
  } else {
    Check(mirn.SoundRecordStart() == 1, "start");
  }
  return binding;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view activity = argc == 3 ? argv[1] : "";
  const std::string_view ending = argc == 3 ? argv[2] : "";
  if ((activity != "record" && activity != "play") || (ending != "unload" && ending != "exit")) {
    std::fprintf(stderr, "usage: %s record|play unload|exit\n", argv[0]);
    return 2;
  }
  const bool play = activity == "play";
  const std::string take = WriteTake();
  // ThreadSanitizer starts a thread of its own with the first thread a
  // program makes; made now, it counts among those there before.
  std::thread([] {}).join();
  const int threads_before = Threads();

  auto binding = StartSound(play, take);
  bool ok = Check(Threads() > threads_before, "no device thread runs");
  if (ending == "exit") std::exit(ok ? 0 : 1);  // the binding stays loaded

  // Twice: a library loaded again after an unload starts afresh.
  for (int round = 0; round < 2; ++round) {
    binding.reset();
    ok &= Check(Threads() == threads_before, "threads left running after the unload");
    ok &= Check(!Mapped("libMirnWave.so"), "libMirnWave.so still loaded");
    ok &= Check(!Mapped("libMirnDLL.so"), "libMirnDLL.so still loaded");
    if (round == 0) binding = StartSound(play, take);
  }
  return ok ? 0 : 1;
}
