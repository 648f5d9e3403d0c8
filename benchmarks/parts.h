// The parts of the sound-server benchmark. Each part runs in a process of
// its own, through one private server, and leaves its rows and figures in
// the results file (bench_common.h); sound_server_benchmark.cpp runs them in
// turn for each server and prints them side by side against the goals.
#pragma once

#include <string>

#include "benchmarks/bench_common.h"

namespace mirn::bench {

// Each export alone in each state, warm and cold, and the outages (Google
// Benchmark; takes its flags).
int RunExportRows(int argc, char** argv);
// A seeded random mix of every export beside bare opens, and a long one
// whose memory is followed.
void RunMix(const RunOptions& options);
void RunMemory(const RunOptions& options);
// The calls of a host that paces them a third of a second apart.
void RunHostPatterns(const RunOptions& options);
// Takes against their Start and Stop, beside arecord's; first takes, and
// takes across a server restart.
void RunTakes(const RunOptions& options);
// Plays and tone replays as the sink heard them, beside aplay's.
void RunPlays(const RunOptions& options);
// Unloads right after each export through the device this process's ALSA
// reaches (`device` names it), and a reload that records and plays.
void RunUnloads(const RunOptions& options, const fs::path& folder, const std::string& device);

// Helpers that parts run as children of their own process.
inline constexpr const char* kRecordChild = "--record-child";  // SECONDS
int RecordChild(int seconds);
inline constexpr const char* kTakeChild = "--take-child";  // MILLISECONDS FILE
int TakeChild(int millis, const std::string& file);
// The source the takes part plays (a server option, so written before it starts).
fs::path WriteTakeSource(std::uint64_t seed);

}  // namespace mirn::bench
