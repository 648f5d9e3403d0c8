// What the parent prints once every part has run through every server:
// each row and figure side by side, then each goal with its figure per
// server and whether it is met.
#pragma once

#include <string>
#include <vector>

#include "benchmarks/bench_common.h"

namespace mirn::bench {

struct ServerRun {
  std::string name;
  Results results;
  int alsa_lines = 0;  // lines of ALSA's own on the parts' stderr
};

void PrintRows(const std::vector<ServerRun>& runs);
void PrintFigures(const std::vector<ServerRun>& runs);
// `files`: the unloads through the file-backed ALSA device.
void PrintGoals(const std::vector<ServerRun>& runs, const Results& files);

}  // namespace mirn::bench
