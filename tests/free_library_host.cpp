// A Windows host that unloads the library right after one export, twenty
// rounds, then loads it again and records and plays through it, under Wine
// on the file-backed ALSA "default" (scripts/test-windows.sh).
//
//   free_library_host EXPORT      (SoundRecordStart ... DLLStop)
//
// Exits 0 when all went well; a crash, or a hang (left to the test's
// timeout), fails.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "host/binding/host_strings.h"
#include "host/binding/library_binding.h"

namespace {

using mirn::host::LibraryBinding;
namespace fs = std::filesystem;

constexpr int kRounds = 20;
constexpr std::uint32_t kTake = 8000;

// The folder the file-backed "default" plays every stream into.
fs::path StreamFolder() {
  const char* config = std::getenv("ALSA_CONFIG_PATH");
  if (config == nullptr) {
    std::fprintf(stderr, "free_library_host: run by scripts/test-windows.sh\n");
    std::exit(2);
  }
  return fs::path(std::string("Z:") + config).parent_path();
}

std::size_t PlayedBytes(const fs::path& folder) {
  std::size_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with("stream.raw")) bytes += entry.file_size();
  }
  return bytes;
}

// Polls `done` for at most 30 s.
template <class Done>
bool WaitFor(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "free_library_host: %s\n", what);
  return ok;
}

std::unique_ptr<LibraryBinding> Load() {
  std::string error;
  auto binding = LibraryBinding::Open(MIRN_LIBRARY_PATH, mirn::host::BindBy::kOrdinal, &error);
  if (binding == nullptr) {
    std::fprintf(stderr, "free_library_host: %s\n", error.c_str());
    std::exit(1);
  }
  return binding;
}

// Calls `name` as a host would, with something loaded to play where it plays.
bool CallExport(const mirn::host::Exports& mirn, std::string_view name, const std::string& take) {
  auto load = [&] { return mirn.SoundRecordLoad(mirn::host::NewAutomationString(take)) == kTake; };
  if (name == "SoundRecordStart") return mirn.SoundRecordStart() == 1;
  if (name == "SoundRecordStop") return mirn.SoundRecordStart() == 1 && mirn.SoundRecordStop() == 2;
  if (name == "SoundRecordPlay") return load() && mirn.SoundRecordPlay(8000) == 3;
  if (name == "SoundRecordSave") {
    return mirn.SoundRecordStart() == 1 &&
           mirn.SoundRecordSave(mirn::host::NewAutomationString(take + ".saved"), 8000) >= 0;
  }
  if (name == "SoundRecordLoad") return load();
  if (name == "ToneCreate") return load() && mirn.ToneCreate(11025) == 1;
  if (name == "DLLStop") return load() && mirn.SoundRecordPlay(8000) == 3 && mirn.DLLStop() == 0;
  std::fprintf(stderr, "free_library_host: no export %.*s\n", static_cast<int>(name.size()),
               name.data());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s EXPORT\n", argv[0]);
    return 2;
  }
  const fs::path folder = StreamFolder();
  // A file SoundRecordLoad takes: 52 header bytes, of which only the data
  // size at offset 48 is read, then the samples.
  const std::string take = (folder / "free_library_take.wav").string();
  {
    std::string bytes(52 + kTake, '\x40');
    for (int i = 0; i < 4; ++i) bytes[48 + i] = static_cast<char>(kTake >> (8 * i));
    std::ofstream(take, std::ios::binary) << bytes;
  }

  bool ok = true;
  for (int round = 0; round < kRounds; ++round) {
    auto binding = Load();
    ok &= Check(CallExport(binding->exports(), argv[1], take), "the export before the unload");
    binding.reset();  // FreeLibrary at once, sound still running
  }

  // Loaded again, it records and plays.
  auto binding = Load();
  const auto& mirn = binding->exports();
  const std::string saved = take + ".after";
  ok &= Check(mirn.SoundRecordStart() == 1, "start after the reload");
  ok &= Check(WaitFor([&] {
                mirn.SoundRecordStop();
                if (mirn.SoundRecordSave(mirn::host::NewAutomationString(saved), 8000) > 0) return true;
                mirn.SoundRecordStart();
                return false;
              }),
              "nothing recorded after the reload");
  const std::size_t played = PlayedBytes(folder);
  ok &= Check(mirn.SoundRecordLoad(mirn::host::NewAutomationString(take)) == kTake, "load");
  ok &= Check(mirn.SoundRecordPlay(8000) == 3, "play after the reload");
  ok &= Check(WaitFor([&] { return PlayedBytes(folder) >= played + kTake; }),
              "the play after the reload did not play");
  return ok ? 0 : 1;
}
