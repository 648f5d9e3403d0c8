// An example host: loads libMirnDLL.so by name and then by ordinal through the
// host binding and calls every export once per binding, printing each result.
//
//   mirn_example [LIBRARY]   (default: beside this program, then ../lib)
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "host/binding/host_strings.h"
#include "host/binding/library_binding.h"

namespace {

using mirn::host::BindBy;
using mirn::host::Exports;
using mirn::host::LibraryBinding;

// Record, stop, play, save, load, tone replay, end of use. Results are shown,
// not judged: without a sound device the plays report 33.
void RunSession(const Exports& mirn, const std::string& file) {
  std::printf("  SoundRecordStart() = %d\n", mirn.SoundRecordStart());
  std::printf("  SoundRecordStop() = %d\n", mirn.SoundRecordStop());
  std::printf("  SoundRecordPlay(8000) = %d\n", mirn.SoundRecordPlay(8000));
  // Each path string passes to the library, which releases it.
  std::printf("  SoundRecordSave(\"%s\", 8000) = %d\n", file.c_str(),
              mirn.SoundRecordSave(mirn::host::NewAutomationString(file), 8000));
  std::printf("  SoundRecordLoad(\"%s\") = %d\n", file.c_str(),
              mirn.SoundRecordLoad(mirn::host::NewAutomationString(file)));
  std::printf("  ToneCreate(8000) = %d\n", mirn.ToneCreate(8000));
  std::printf("  DLLStop() = %d\n", mirn.DLLStop());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [LIBRARY]\n", argv[0]);
    return 2;
  }
  std::string library = argc == 2 ? argv[1] : mirn::host::DefaultLibraryPath();
  // A named file is meant, not a search of the loader's path.
  if (argc == 2 && library.find('/') == std::string::npos) library = "./" + library;
  const std::string file =
      (std::filesystem::temp_directory_path() / ("mirn-example-" + std::to_string(getpid()) + ".wav"))
          .string();

  int status = 0;
  for (const BindBy by : {BindBy::kName, BindBy::kOrdinal}) {
    std::string error;
    const auto binding = LibraryBinding::Open(library, by, &error);
    if (binding == nullptr) {
      std::fprintf(stderr, "mirn_example: %s\n", error.c_str());
      status = 1;
      break;
    }
    std::printf("%s: exports bound by %s\n", binding->path().c_str(),
                by == BindBy::kName ? "name" : "ordinal");
    RunSession(binding->exports(), file);
  }
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  return status;
}
