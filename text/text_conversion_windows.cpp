// The platform's own wide-string length and wide-to-narrow conversion on
// Windows: the system's ANSI code page (code page 0), refusing any text that
// it cannot represent exactly.
#include <windows.h>

#include <climits>
#include <cwchar>

#include "text/text_conversion.h"

namespace text_conversion {

std::size_t WideLength(const WideChar* text) { return text == nullptr ? 0 : std::wcslen(text); }

std::size_t WideToNarrow(const WideChar* text, std::size_t count, char* out,
                         std::size_t out_size) {
  if (count == 0) return 0;
  if (count > INT_MAX) return kNotRepresentable;
  const int length = static_cast<int>(count);
  // With flags 0 the code page maps what it lacks best-fit (U+03A9 becomes
  // 'O' in code page 1252) or to its default character, so the path would
  // name another file. First ask, without best-fit, whether every character
  // maps exactly; a UTF-8 code page takes no default-character argument but
  // can refuse invalid characters instead.
  BOOL used_default = FALSE;
  const int needed =
      GetACP() == CP_UTF8
          ? WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, text, length, nullptr, 0, nullptr,
                                nullptr)
          : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, nullptr, 0, nullptr,
                                &used_default);
  if (needed <= 0 || used_default) return kNotRepresentable;
  const auto bytes = static_cast<std::size_t>(needed);
  if (bytes > out_size) return bytes;
  // The conversion itself, as the platform makes it: code page 0, flags 0.
  const int written = WideCharToMultiByte(CP_ACP, 0, text, length, out, needed, nullptr, nullptr);
  return written == needed ? bytes : kNotRepresentable;
}

}  // namespace text_conversion
