#pragma once
// The console prompt's answer: a token stops the service when its value,
// read as an unsigned 64-bit base-10 number, is exactly 1.
#include <cstdint>
#include <string>

// Leading white space, an optional sign and the leading decimal digits
// count; conversion stops at the first other character. No digits give 0, a
// minus sign negates modulo 2^64, an overflow gives the largest value.
uint64_t exitTokenValue(const std::string& token);

// "1", "01", "+1", "1x" stop; "0", "2", "10", "-1", "yes" do not.
bool isExitToken(const std::string& token);
