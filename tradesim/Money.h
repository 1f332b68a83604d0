#pragma once
// Money is kept as a whole number of hundred-millionths (1e-8) of the account
// currency, so that balances are exact sums of their deals and never drift
// the way repeated double additions do.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tradesim {

using Money = int64_t;

constexpr Money kMoneyScale = 100000000;  // units per currency unit
// Largest amount a single deal or seed may carry: ten billion.
constexpr Money kMaxAmount = 10000000000LL * kMoneyScale;

// Converts a double amount, rounded to the nearest unit. Empty for NaN,
// infinities and amounts beyond kMaxAmount.
std::optional<Money> moneyFromDouble(double value);
double moneyToDouble(Money value);

// Parses a plain decimal text ("-12.5", "100", "0.00000001") without going
// through a double. Empty when malformed, too precise or out of range.
std::optional<Money> parseMoney(std::string_view text);

// Shortest exact decimal with at least two fraction digits: "100.00",
// "-0.50", "12.345".
std::string formatMoney(Money value);

// a + b, empty on overflow.
std::optional<Money> addMoney(Money a, Money b);

}  // namespace tradesim
