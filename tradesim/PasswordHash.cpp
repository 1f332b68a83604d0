#include "tradesim/PasswordHash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace tradesim {
namespace {

constexpr size_t kSaltSize = 16;

std::vector<unsigned char> digestOf(const std::vector<unsigned char>& salt, std::string_view password) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), salt.data(), salt.size()) != 1 ||
      EVP_DigestUpdate(ctx.get(), password.data(), password.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1) {
    throw std::runtime_error("SHA-256 digest failed");
  }
  digest.resize(size);
  return digest;
}

}  // namespace

PasswordHash hashPassword(std::string_view password) {
  PasswordHash hash;
  hash.salt.resize(kSaltSize);
  if (RAND_bytes(hash.salt.data(), static_cast<int>(hash.salt.size())) != 1) {
    throw std::runtime_error("no random bytes for a password salt");
  }
  hash.digest = digestOf(hash.salt, password);
  return hash;
}

bool matchesPassword(const PasswordHash& stored, std::string_view password) {
  const auto digest = digestOf(stored.salt, password);
  return digest.size() == stored.digest.size() &&
         CRYPTO_memcmp(digest.data(), stored.digest.data(), digest.size()) == 0;
}

}  // namespace tradesim
