#pragma once
// Digests of request texts, as the journal keeps them to tell a delivery's
// text from another's. Keyed (HMAC-SHA256), so that a journal on its own
// cannot be used to test guesses at the passwords a request carried; the
// key lives in a file (mode 0600): beside an SQLite journal, or one copied
// to every host sharing a database journal. The first process to open the
// journal makes it; every other reads it.
#include <string>
#include <vector>

using DigestKey = std::vector<unsigned char>;

// The key in the file at path, made when missing; throws JournalError when
// it cannot be read or made.
DigestKey loadDigestKey(const std::string& path);

// "k1:" and the lower-case hex HMAC-SHA256 of text.
std::string keyedDigest(const DigestKey& key, const std::string& text);

// Whether a stored digest is that of text: a keyed one equals `keyed` (the
// text's keyed digest); one without the prefix (written before digests were
// keyed) is the text's plain SHA-256.
bool sameDigest(const std::string& stored, const std::string& keyed, const std::string& text);
