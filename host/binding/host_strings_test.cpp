// UTF-8 to UTF-16 conversion of host paths and the automation strings made
// from them.
#include "host/binding/host_strings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace mirn::host {
namespace {

TEST(HostStrings, ValidUtf8BecomesUtf16) {
  EXPECT_EQ(Utf8ToUtf16("/tmp/a.wav"), u"/tmp/a.wav");
  EXPECT_EQ(Utf8ToUtf16("\xC3\xA9"), u"\u00E9");                 // two bytes
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82\xAC"), u"\u20AC");             // three bytes
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");    // surrogate pair
  EXPECT_EQ(Utf8ToUtf16("\xF4\x8F\xBF\xBF"), u"\xDBFF\xDFFF");    // U+10FFFF
  EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(HostStrings, EachBadByteBecomesOneReplacement) {
  EXPECT_EQ(Utf8ToUtf16("\x80" "a"), u"\uFFFD" "a");                  // stray continuation
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82" "a"), u"\uFFFD\uFFFD" "a");        // cut short
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD\uFFFD");                // cut at the end
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");                // overlong '/'
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");      // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
}

TEST(HostStrings, AutomationStringHoldsTheWholeText) {
  AutomationString text = NewAutomationString(std::string_view("d\xC3\xA9\0x", 5));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 4u);
  EXPECT_EQ(SysStringByteLen(text), 8u);
  const AutomationChar expected[] = {'d', 0xE9, 0, 'x'};
  EXPECT_EQ(std::basic_string<AutomationChar>(text, 4),
            std::basic_string<AutomationChar>(expected, 4));
  EXPECT_EQ(text[4], 0);
  SysFreeString(text);

  AutomationString empty = NewAutomationString("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  SysFreeString(empty);
}

}  // namespace
}  // namespace mirn::host
