// Wide-string length and wide-to-narrow conversion in the system's default
// code page: the platform's text functions, as this platform provides them.
#pragma once

#include <cstddef>

namespace text_conversion {

// Characters before the first zero character; 0 for a null text.
std::size_t WideLength(const char16_t* text);

// Converts the first count characters of text (zero characters included,
// each becoming a zero byte) to the default code page, here UTF-8. Surrogate
// pairs become one character; a surrogate without its partner, also one cut
// off by count, becomes '?'.
//
// Writes whole narrow characters into out, in order, while they fit, and never
// more than out_size bytes. Returns the bytes the whole conversion needs: the
// output is complete exactly when that is at most out_size. Allocates nothing.
std::size_t WideToNarrow(const char16_t* text, std::size_t count, char* out,
                         std::size_t out_size);

}  // namespace text_conversion
