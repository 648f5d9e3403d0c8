// mirn: a command-line sound recorder on libMirnDLL.so.1 (MirnDLL.dll on
// Windows). Parses the command line, loads the library through the host
// binding and runs one command.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "host/binding/library_binding.h"
#include "host/mirn/command_line.h"
#include "host/mirn/devices.h"
#include "host/mirn/sessions.h"
#include "host/mirn/system.h"

int main(int argc, char** argv) {
  using namespace mirn::cli;
  const std::string program = "mirn";
  sys::PrepareStandardStreams();
  if (const std::string problem = sys::ArgumentsProblem(); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), problem.c_str());
    return kExitUsage;
  }
  const Parsed parsed = Parse(std::span<const char* const>(argv + 1, argv + argc));
  if (!parsed.output.empty()) {  // help or version
    std::fputs(parsed.output.c_str(), stdout);
    return kExitOk;
  }
  if (!parsed.invocation) {
    std::fprintf(stderr, "%s: %s\n%s\n", program.c_str(), parsed.error.c_str(),
                 HelpPointer(parsed).c_str());
    return kExitUsage;
  }
  const Invocation& invocation = *parsed.invocation;
  ChooseDevice(invocation.device);  // before the library opens anything
  // Neither needs the library.
  if (invocation.command == Command::kInfo) return RunInfo(invocation);
  if (invocation.command == Command::kDevices) return RunDevices(invocation);

  std::string library = invocation.library;
  if (library.empty()) {
    library = mirn::host::DefaultLibraryPath();
  } else if (std::ranges::none_of(library, sys::IsSeparator)) {
    library = "./" + library;  // a named file, not a search of the loader's path
  }
  std::string error;
  const auto binding = mirn::host::LibraryBinding::Open(
      library, invocation.by_ordinal ? mirn::host::BindBy::kOrdinal : mirn::host::BindBy::kName,
      &error);
  if (binding == nullptr) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return kExitFailed;
  }

  const mirn::host::Exports& exports = binding->exports();
  int status = kExitOk;
  switch (invocation.command) {
    case Command::kRecord: status = RunRecord(exports, invocation); break;
    case Command::kPlay: status = RunPlay(exports, invocation); break;
    case Command::kTone: status = RunTone(exports, invocation); break;
    case Command::kCall: status = RunCall(exports, invocation); break;
    case Command::kInfo:
    case Command::kDevices: break;
  }
  // Ends with the library still loaded: its wave service stops its devices
  // at exit either way, and unloading it first would unload ALSA too, which
  // strands the configuration ALSA caches after a failed open.
  std::exit(status);
}
