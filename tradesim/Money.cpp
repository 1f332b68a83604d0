#include "tradesim/Money.h"

#include <cmath>

namespace tradesim {

std::optional<Money> moneyFromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double units = std::round(value * static_cast<double>(kMoneyScale));
  if (std::fabs(units) > static_cast<double>(kMaxAmount)) return std::nullopt;
  return static_cast<Money>(units);
}

double moneyToDouble(Money value) {
  // Whole part and fraction separately, so 0.1 comes back as the double
  // nearest to 0.1 rather than a product with its own rounding.
  const Money whole = value / kMoneyScale;
  const Money fraction = value % kMoneyScale;
  return static_cast<double>(whole) + static_cast<double>(fraction) / static_cast<double>(kMoneyScale);
}

std::optional<Money> parseMoney(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  Money whole = 0;
  Money fraction = 0;
  int fractionDigits = 0;
  bool seenPoint = false;
  bool seenDigit = false;
  for (char c : text) {
    if (c == '.' && !seenPoint) {
      seenPoint = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    seenDigit = true;
    const int digit = c - '0';
    if (seenPoint) {
      if (++fractionDigits > 8) return std::nullopt;
      fraction = fraction * 10 + digit;
    } else {
      whole = whole * 10 + digit;
      if (whole > kMaxAmount / kMoneyScale) return std::nullopt;
    }
  }
  if (!seenDigit) return std::nullopt;
  for (int i = fractionDigits; i < 8; ++i) fraction *= 10;
  const Money units = whole * kMoneyScale + fraction;
  if (units > kMaxAmount) return std::nullopt;
  return negative ? -units : units;
}

std::string formatMoney(Money value) {
  const bool negative = value < 0;
  // Magnitude as unsigned so that the most negative value cannot overflow.
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const uint64_t scale = static_cast<uint64_t>(kMoneyScale);
  std::string digits = std::to_string(magnitude % scale);
  digits.insert(0, 8 - digits.size(), '0');
  while (digits.size() > 2 && digits.back() == '0') digits.pop_back();
  return (negative ? "-" : "") + std::to_string(magnitude / scale) + "." + digits;
}

std::optional<Money> addMoney(Money a, Money b) {
  Money sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}

}  // namespace tradesim
