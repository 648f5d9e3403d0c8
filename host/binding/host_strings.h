// Automation strings made by a host from its own UTF-8 text, for the path
// arguments of SoundRecordSave and SoundRecordLoad.
#pragma once

#include <string>
#include <string_view>

#include "automation_strings.h"

namespace mirn::host {

// UTF-8 text as UTF-16 code units; each byte that does not start a valid
// sequence becomes U+FFFD. Zero bytes are kept.
std::u16string Utf8ToUtf16(std::string_view utf8);

// A new automation string holding the text, zero bytes included; null when
// the allocator refuses. Passing it to an export hands it to the library,
// which releases it; otherwise release it with SysFreeString.
AutomationString NewAutomationString(std::string_view utf8);

}  // namespace mirn::host
