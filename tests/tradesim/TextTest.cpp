// Money as exact units, UTF-8 and wide text, and the journal's format rules.
#include <gtest/gtest.h>

#include <cstdarg>
#include <limits>

#include "tradesim/Journal.h"
#include "tradesim/Money.h"
#include "tradesim/WideText.h"

namespace tradesim {
namespace {

TEST(MoneyTest, ParsesFormatsAndRefusesBadAmounts) {
  EXPECT_EQ(parseMoney("100"), 100 * kMoneyScale);
  EXPECT_EQ(parseMoney("-0.5"), -kMoneyScale / 2);
  EXPECT_EQ(parseMoney("+12.345"), 1234500000);
  EXPECT_EQ(parseMoney("0.00000001"), 1);
  EXPECT_EQ(parseMoney(".5"), kMoneyScale / 2);
  for (const char* bad : {"", "-", ".", "1.2.3", "12a", "0.000000001", "1e5", "10000000001", " 1"}) {
    EXPECT_FALSE(parseMoney(bad).has_value()) << bad;
  }
  EXPECT_EQ(formatMoney(100 * kMoneyScale), "100.00");
  EXPECT_EQ(formatMoney(-kMoneyScale / 2), "-0.50");
  EXPECT_EQ(formatMoney(1234500000), "12.345");
  EXPECT_EQ(formatMoney(1), "0.00000001");
  EXPECT_EQ(formatMoney(std::numeric_limits<Money>::min()), "-92233720368.54775808");

  EXPECT_EQ(moneyFromDouble(0.1), kMoneyScale / 10);
  EXPECT_EQ(moneyFromDouble(-99.99), -9999000000);
  EXPECT_FALSE(moneyFromDouble(std::numeric_limits<double>::quiet_NaN()).has_value());
  EXPECT_FALSE(moneyFromDouble(std::numeric_limits<double>::infinity()).has_value());
  EXPECT_FALSE(moneyFromDouble(2e10).has_value());
  EXPECT_EQ(moneyToDouble(kMoneyScale / 10), 0.1);
  EXPECT_EQ(moneyToDouble(-1234500000), -12.345);

  // Ten times 0.1 + 0.2 is exactly 3 here, unlike with double sums.
  Money sum = 0;
  for (int i = 0; i < 10; ++i) sum = *addMoney(sum, *moneyFromDouble(0.1) + *moneyFromDouble(0.2));
  EXPECT_EQ(moneyToDouble(sum), 3.0);
  EXPECT_FALSE(addMoney(std::numeric_limits<Money>::max(), 1).has_value());
}

TEST(WideTextTest, RoundTripsAndReplacesMalformedInput) {
  const std::string utf8 = "Jörg Müller €1 \xF0\x9F\x98\x80";
  const std::wstring wide = widen(utf8);
  EXPECT_EQ(wide, L"J\u00F6rg M\u00FCller \u20AC1 \U0001F600");
  EXPECT_EQ(narrow(wide), utf8);
  EXPECT_EQ(narrow(static_cast<const wchar_t*>(nullptr)), "");
  // Stray continuation, truncated sequence, overlong form, surrogate.
  EXPECT_EQ(widen("a\x80z"), L"a\uFFFDz");
  EXPECT_EQ(widen("a\xE2\x82"), L"a\uFFFD");
  EXPECT_EQ(widen("\xC0\xAF"), L"\uFFFD");
  EXPECT_EQ(widen("\xED\xA0\x80"), L"\uFFFD");
  const wchar_t bad[] = {L'x', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(narrow(bad), "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

std::string format(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text;
  const MTAPIRES result = formatJournalText(fmt, args, text);
  va_end(args);
  return result == mtret::Ok ? text : "<error " + std::to_string(result) + ">";
}

TEST(JournalFormatTest, WideStringConventionIsTranslated) {
  EXPECT_EQ(toStandardWideFormat(L"Deal: %s has been add"), L"Deal: %ls has been add");
  EXPECT_EQ(toStandardWideFormat(L"%-8s|%5.2f|%%s|%c|%ls|%hs|%S|%I64u"), L"%-8ls|%5.2f|%%s|%lc|%ls|%s|%s|%llu");
  EXPECT_FALSE(toStandardWideFormat(L"written %n").has_value());
  EXPECT_FALSE(toStandardWideFormat(L"dangling %-5").has_value());
  EXPECT_EQ(format(L"Deal: %s has been add", L"#1 \u00FC"), "Deal: #1 \u00FC has been add");
  EXPECT_EQ(format(L"Connection failed (%u)", 1100u), "Connection failed (1100)");
  EXPECT_EQ(format(L"[%-4s][%hs][%c]", L"ab", "narrow", L'\u00E9'), "[ab  ][narrow][\u00E9]");
  // Longer than the first buffer.
  const std::wstring longText(5000, L'x');
  EXPECT_EQ(format(L"%s!", longText.c_str()), std::string(5000, 'x') + "!");
  EXPECT_EQ(format(nullptr), "<error 3>");
  int written = 0;
  EXPECT_EQ(format(L"abc%n", &written), "<error 3>");
  EXPECT_EQ(written, 0);
}

}  // namespace
}  // namespace tradesim
