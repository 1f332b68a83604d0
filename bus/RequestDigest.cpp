#include "bus/RequestDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bus/RequestJournal.h"

namespace {

constexpr std::size_t kKeySize = 32;
constexpr const char* kPrefix = "k1:";

std::string hex(const unsigned char* data, unsigned int size) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bool readKey(const std::string& path, DigestKey& key) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  key.assign(kKeySize, 0);
  const ssize_t n = ::read(fd, key.data(), key.size());
  ::close(fd);
  return n == static_cast<ssize_t>(kKeySize);
}

// Written whole under another name, synced, then linked in place: a reader
// never sees a part of a key, and of two makers one key wins.
void makeKey(const std::string& path) {
  DigestKey key(kKeySize);
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) throw JournalError(path + ": no random bytes");
  const std::string temp = path + ".new." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw JournalError(temp + ": cannot be made (" + std::strerror(errno) + ")");
  const bool written = ::write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size()) && ::fsync(fd) == 0;
  ::close(fd);
  const bool linked = written && (::link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST);
  ::unlink(temp.c_str());
  if (!linked) throw JournalError(path + ": cannot be made (" + std::strerror(errno) + ")");
}

}  // namespace

DigestKey loadDigestKey(const std::string& path) {
  DigestKey key;
  if (readKey(path, key)) return key;
  makeKey(path);
  if (readKey(path, key)) return key;
  throw JournalError(path + ": cannot be read");
}

std::string keyedDigest(const DigestKey& key, const std::string& text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
            text.size(), mac, &size))
    return std::string();
  return kPrefix + hex(mac, size);
}

bool sameDigest(const std::string& stored, const std::string& keyed, const std::string& text) {
  if (stored.rfind(kPrefix, 0) == 0) return !keyed.empty() && stored == keyed;
  return !stored.empty() && stored == requestDigest(text);
}
