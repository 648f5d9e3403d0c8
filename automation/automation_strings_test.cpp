// The automation allocator: the byte-length prefix, the terminator, null
// handling and the counters that tests of string ownership rely on.
#include "automation_strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "automation/automation_stats.h"

namespace {

std::uint32_t Prefix(AutomationString text) {
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(text) - sizeof bytes, sizeof bytes);
  return bytes;
}

TEST(AutomationStrings, CopyCarriesItsByteLengthBeforeTheCharacters) {
  AutomationString text = SysAllocString(u"take.wav");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(Prefix(text), 16u);
  EXPECT_EQ(SysStringByteLen(text), 16u);
  EXPECT_EQ(SysStringLen(text), 8u);
  EXPECT_EQ(std::u16string(text), u"take.wav");
  SysFreeString(text);

  AutomationString empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(Prefix(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  SysFreeString(empty);
}

TEST(AutomationStrings, LengthCopyKeepsZerosAndAddsATerminator) {
  const AutomationChar source[] = {u'a', 0, u'b', u'c'};
  AutomationString text = SysAllocStringLen(source, 3);  // 'c' is not copied
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(Prefix(text), 6u);
  EXPECT_EQ(std::u16string(text, 4), std::u16string(u"a\0b\0", 4));
  SysFreeString(text);

  // Copying stops at the first zero.
  AutomationString cut = SysAllocString(source);
  EXPECT_EQ(SysStringLen(cut), 1u);
  SysFreeString(cut);

  // Without text the characters are zero.
  AutomationString blank = SysAllocStringLen(nullptr, 2);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(std::u16string(blank, 3), std::u16string(3, u'\0'));
  SysFreeString(blank);
}

TEST(AutomationStrings, NullIsHarmlessAndCountersTrackEachString) {
  const auto allocated = AutomationStringsAllocated();
  const auto released = AutomationStringsReleased();

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  // A length whose byte count cannot fit the 32-bit prefix is refused.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(AutomationStringsAllocated(), allocated);
  EXPECT_EQ(AutomationStringsReleased(), released);

  AutomationString one = SysAllocString(u"1");
  AutomationString two = SysAllocStringLen(u"2", 1);
  EXPECT_EQ(AutomationStringsAllocated(), allocated + 2);
  SysFreeString(one);
  EXPECT_EQ(AutomationStringsReleased(), released + 1);
  SysFreeString(two);
  EXPECT_EQ(AutomationStringsReleased(), released + 2);
}

// Hosts' paths are UTF-8: every character must arrive whole, and text that
// is not UTF-8 must not become some other path.
TEST(AutomationStrings, Utf8BecomesUtf16OrNothing) {
  const struct {
    const char* utf8;
    std::u16string utf16;
  } valid[] = {{"", u""},
               {"take.wav", u"take.wav"},
               {"caf\xC3\xA9/\xE6\x97\xA5.wav", u"caf\u00E9/\u65E5.wav"},
               {"\xF0\x9F\x8E\xB5", u"\U0001F3B5"},  // a surrogate pair
               {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}};
  for (const auto& v : valid) {
    AutomationString text = AutomationStringFromUtf8(v.utf8);
    ASSERT_NE(text, nullptr) << v.utf8;
    EXPECT_EQ(std::u16string(text, SysStringLen(text)), v.utf16);
    EXPECT_EQ(text[SysStringLen(text)], 0);
    SysFreeString(text);
  }
  for (const char* invalid : {"caf\xE9", "\xC3", "a\x80", "\xC0\xAF", "\xE0\x80\xAF",
                              "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(AutomationStringFromUtf8(invalid), nullptr) << invalid;
  }
  EXPECT_EQ(AutomationStringFromUtf8(nullptr), nullptr);
}

}  // namespace
