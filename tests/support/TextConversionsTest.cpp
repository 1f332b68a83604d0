// Narrow to wide conversions: UTF-8 decoding with its two normalisations,
// byte-per-character widening, and the failure lines on the console.
#include <gtest/gtest.h>

#include <string>

#include "support/TextConversions.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(TextConversions, Utf8DecodingAndNormalisation) {
  CaptureStdout();
  EXPECT_EQ(UTF8ToUnicode(""), L"");
  EXPECT_EQ(UTF8ToUnicode("a\xC2\xA0"
                          "b"),
            L"a b");
  EXPECT_EQ(UTF8ToUnicode("\xD1\x96"), L"i");
  EXPECT_EQ(UTF8ToUnicode("\xD0\x86"), std::wstring(1, L'\u0406'));
  EXPECT_EQ(UTF8ToUnicode("\xD0\x86\xD1\x96\xC2\xA0\xC2\xA0x"), L"\u0406i  x");
  EXPECT_EQ(UTF8ToUnicode("caf\xC3\xA9 \xF0\x9F\x98\x80"), L"caf\u00e9 \U0001F600");
  EXPECT_EQ(GetCapturedStdout(), "");

  // One bad byte loses the whole text, and the line is printed once per call.
  CaptureStdout();
  EXPECT_EQ(UTF8ToUnicode("valid text \xFF more"), L"");
  EXPECT_EQ(UTF8ToUnicode("cut \xD0"), L"");
  EXPECT_EQ(GetCapturedStdout(), "UTF8ToUnicode Exception\nUTF8ToUnicode Exception\n");

  // A failed or cut-off text leaves nothing behind for the next one.
  CaptureStdout();
  EXPECT_EQ(UTF8ToUnicode("\xD0\x86"), std::wstring(1, L'\u0406'));
  EXPECT_EQ(UTF8ToUnicode("\xB0"), L"");
  EXPECT_EQ(UTF8ToUnicode("\xD1"), L"");
  EXPECT_EQ(UTF8ToUnicode("\x96x"), L"");
  EXPECT_EQ(UTF8ToUnicode("ok"), L"ok");
  EXPECT_EQ(GetCapturedStdout(), "UTF8ToUnicode Exception\nUTF8ToUnicode Exception\nUTF8ToUnicode Exception\n");
}

TEST(TextConversions, ReplaceAllReplacesEveryOccurrence) {
  std::wstring text = L"a-b--c";
  ReplaceAll(text, L"-", L"+");
  EXPECT_EQ(text, L"a+b++c");

  // The same result as searching from the start after every replacement.
  text = L"abb";
  ReplaceAll(text, L"ab", L"a");
  EXPECT_EQ(text, L"a");

  // Neither an empty pattern nor a replacement holding the pattern loops.
  text = L"xyz";
  ReplaceAll(text, L"", L"q");
  EXPECT_EQ(text, L"xyz");
  text = L"a.a";
  ReplaceAll(text, L"a", L"aa");
  EXPECT_EQ(text, L"aa.aa");
}

TEST(TextConversions, ByteWideningForPasswordsAndServer) {
  CaptureStdout();
  EXPECT_EQ(stringToLPCWSTR(""), L"");
  EXPECT_EQ(stringToLPCWSTR("Pass1!"), L"Pass1!");
  // UTF-8 is not decoded: each byte becomes one wide character.
  const std::wstring widened = stringToLPCWSTR("\xC3\xA9");
  ASSERT_EQ(widened.size(), 2u);
  EXPECT_EQ(widened[0], L'\u00c3');
  EXPECT_EQ(widened[1], L'\u00a9');
  EXPECT_EQ(stringToLPCWSTR(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(stringToLPCWSTR(std::string("\0x", 2)), L"");
  EXPECT_EQ(stringToLPCWSTR("\xFF"), std::wstring(1, L'\u00ff'));
  EXPECT_EQ(GetCapturedStdout(), "");
}
