// Tests of the UTF-16 to UTF-8 conversion: encodings, surrogates and the
// bounded output.
#include "text/text_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace {

using text_conversion::WideLength;
using text_conversion::WideToNarrow;

// Converts the whole of text into a roomy buffer.
std::string Convert(std::u16string_view text) {
  std::array<char, 64> out{};
  const std::size_t needed = WideToNarrow(text.data(), text.size(), out.data(), out.size());
  EXPECT_LE(needed, out.size());
  return std::string(out.data(), needed);
}

TEST(WideLength, CountsUpToTheFirstZero) {
  EXPECT_EQ(WideLength(nullptr), 0u);
  EXPECT_EQ(WideLength(u""), 0u);
  EXPECT_EQ(WideLength(u"path"), 4u);
  EXPECT_EQ(WideLength(u"ab\0cd"), 2u);
  EXPECT_EQ(WideLength(u"\xD800\xDC00"), 2u);  // counts units, not characters
}

TEST(WideToNarrow, EncodesEachUtf8Length) {
  EXPECT_EQ(Convert(u"abc"), "abc");
  EXPECT_EQ(Convert(u"\u007F\u0080"), "\x7F\xC2\x80");
  EXPECT_EQ(Convert(u"\u00E9\u07FF"), "\xC3\xA9\xDF\xBF");
  EXPECT_EQ(Convert(u"\u0800\u20AC\uFFFF"), "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF");
  // Zero characters within count become zero bytes.
  EXPECT_EQ(Convert(std::u16string_view(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(WideToNarrow, CombinesPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(Convert(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");          // U+1F600
  EXPECT_EQ(Convert(u"\xD800\xDC00\xDBFF\xDFFF"), "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Convert(u"a\xD800" u"b"), "a?b");                        // high, then no low
  EXPECT_EQ(Convert(u"a\xDC00" u"b"), "a?b");                        // low alone
  EXPECT_EQ(Convert(u"\xDC00\xD800"), "??");                         // wrong order
  EXPECT_EQ(Convert(u"\xD800\xD83D\xDE00"), "?\xF0\x9F\x98\x80");   // lone high, then a pair
  // A pair cut by count is a lone surrogate; its partner is not read.
  const char16_t pair[] = u"\xD83D\xDE00";
  std::array<char, 8> out{};
  EXPECT_EQ(WideToNarrow(pair, 1, out.data(), out.size()), 1u);
  EXPECT_EQ(out[0], '?');
}

TEST(WideToNarrow, NeverWritesPastTheBufferAndReportsTheSizeNeeded) {
  // "a" + U+20AC (3 bytes) + "b" + zero: 6 bytes in all. Each buffer size
  // gets the whole characters that fit, as a prefix of the conversion.
  const char16_t text[] = u"a\u20ACb";
  const std::string full("a\xE2\x82\xAC" "b\0", 6);
  const std::pair<std::size_t, std::size_t> written_by_size[] = {
      {0, 0}, {1, 1}, {3, 1}, {4, 4}, {5, 5}, {6, 6}, {7, 6}};
  for (const auto& [size, written] : written_by_size) {
    std::array<char, 8> out;
    out.fill('#');
    EXPECT_EQ(WideToNarrow(text, 4, out.data(), size), 6u) << size;
    EXPECT_EQ(std::string(out.data(), written), full.substr(0, written)) << size;
    for (std::size_t i = written; i < out.size(); ++i) EXPECT_EQ(out[i], '#') << size << " " << i;
  }
  // A character that does not fit stops the output even where a later,
  // shorter one would have fitted.
  std::array<char, 4> out;
  out.fill('#');
  EXPECT_EQ(WideToNarrow(u"\u20ACa", 2, out.data(), 2), 4u);
  EXPECT_EQ(out[0], '#');
  EXPECT_EQ(out[1], '#');
  EXPECT_EQ(WideToNarrow(u"", 0, nullptr, 0), 0u);
}

}  // namespace
