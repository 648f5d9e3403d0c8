// Answers the duration rule for each line of standard input, one number a
// line: "play FIRST RECORDED RATE", "tone FIRST RECORDED RATE" (seconds, to
// the last bit) or "scaled RECORDED RATE". The Python binding's tests hold
// its copy of the rule to these answers.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "host/binding/sound_durations.h"

int main() {
  std::string call;
  std::uint32_t first = 0;
  std::uint32_t recorded = 0;
  std::int32_t rate = 0;
  while (std::cin >> call) {
    if (call == "scaled" && std::cin >> recorded >> rate) {
      std::printf("%u\n", static_cast<unsigned>(mirn::host::ToneScaledLength(recorded, rate)));
    } else if ((call == "play" || call == "tone") && std::cin >> first >> recorded >> rate) {
      const double seconds = call == "play" ? mirn::host::PlaySeconds(first, recorded, rate)
                                            : mirn::host::ToneSeconds(first, recorded, rate);
      std::printf("%.17g\n", seconds);
    } else {
      std::fprintf(stderr, "not a question: %s\n", call.c_str());
      return 2;
    }
  }
  return 0;
}
