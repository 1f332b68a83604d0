#pragma once
// What the trading server keeps of what a change writes, so that a change
// is recognised as the server holds it: a deal's comment as its deal record
// keeps it, money in the server's units.
#include <cstdint>
#include <string>

// Up to its first NUL, cut to what a deal record holds.
std::wstring dealCommentAsKept(const std::wstring& comment);
// The same of a UTF-8 comment, as the operation sends it.
std::wstring dealCommentAsKept(const std::string& utf8Comment);
// In units of 1e-8.
int64_t moneyAsKept(double amount);
