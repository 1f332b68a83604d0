#pragma once
// Salted SHA-256 password hashes. Passwords are never stored or logged in
// clear; only a random salt and the digest of salt + UTF-8 password are kept.
#include <string_view>
#include <vector>

namespace tradesim {

struct PasswordHash {
  std::vector<unsigned char> salt;
  std::vector<unsigned char> digest;
};

// Fresh random salt; throws std::runtime_error if no randomness is available.
PasswordHash hashPassword(std::string_view password);
// Constant-time comparison of the digest.
bool matchesPassword(const PasswordHash& stored, std::string_view password);

}  // namespace tradesim
