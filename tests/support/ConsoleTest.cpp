// Console printing and the wide-to-UTF-8 conversion used for wide texts.
#include <gtest/gtest.h>

#include <string>

#include "support/Console.h"

TEST(Console, PrintsFormattedTextAndNarrowsWideText) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(consolePrint("is exit(0 or 1): "), 17);
  EXPECT_EQ(consolePrint("Login: %d\n", -5), 10);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "is exit(0 or 1): Login: -5\n");

  EXPECT_EQ(narrow(L""), "");
  EXPECT_EQ(narrow(L"Server: 127.0.0.1:443"), "Server: 127.0.0.1:443");
  EXPECT_EQ(narrow(L"\u00e9\u0406\u20ac\U0001F600"), "\xC3\xA9\xD0\x86\xE2\x82\xAC\xF0\x9F\x98\x80");
  // Values that are no characters come out as U+FFFD instead of broken UTF-8.
  EXPECT_EQ(narrow(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(narrow(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
  EXPECT_EQ(narrow(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}
