// mirn's commands: record, play and tone drive the library's exports and
// wait for the device; info reads a file by itself; call makes raw calls.
#pragma once

#include <cstdint>

#include "host/binding/library_binding.h"
#include "host/mirn/command_line.h"

namespace mirn::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a call failed, a file or the library is missing
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;  // as a shell reports SIGINT

int RunRecord(const host::Exports& mirn, const Invocation& invocation);
int RunPlay(const host::Exports& mirn, const Invocation& invocation);
int RunTone(const host::Exports& mirn, const Invocation& invocation);
int RunCall(const host::Exports& mirn, const Invocation& invocation);
int RunInfo(const Invocation& invocation);

}  // namespace mirn::cli
