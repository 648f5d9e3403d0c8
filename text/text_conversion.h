// Wide-string length and wide-to-narrow conversion in the system's default
// code page: the platform's text functions, as this platform provides them.
#pragma once

#include <cstddef>
#include <limits>

#include "automation_strings.h"

namespace text_conversion {

// The 16-bit characters of automation strings (wchar_t on Windows).
using WideChar = AutomationChar;

// What WideToNarrow needs for a text that the code page cannot represent
// exactly: it never fits, so the text is never used under another name.
inline constexpr std::size_t kNotRepresentable = std::numeric_limits<std::size_t>::max();

// Characters before the first zero character; 0 for a null text.
std::size_t WideLength(const WideChar* text);

// Converts the first count characters of text (zero characters included,
// each becoming a zero byte) to the default code page: UTF-8 on Linux, where
// surrogate pairs become one character and a surrogate without its partner,
// also one cut off by count, becomes '?'; on Windows the system's ANSI code
// page (code page 0), where a text that would need a best-fit or default
// character needs kNotRepresentable.
//
// Writes whole narrow characters into out, in order, while they fit, and never
// more than out_size bytes. Returns the bytes the whole conversion needs: the
// output is complete exactly when that is at most out_size. Allocates nothing.
std::size_t WideToNarrow(const WideChar* text, std::size_t count, char* out,
                         std::size_t out_size);

}  // namespace text_conversion
