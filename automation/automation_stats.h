// Counters of the automation allocator, for tests that check who releases
// which string. Not part of the platform's interface.
#pragma once

#include <cstdint>

#include "automation_strings.h"

extern "C" {
// Strings handed out and strings released since the allocator was loaded.
AUTOMATION_API std::uint64_t AutomationStringsAllocated(void);
AUTOMATION_API std::uint64_t AutomationStringsReleased(void);
}
