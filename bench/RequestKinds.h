#pragma once
// The kinds of request the bench puts on the service's queues, the JSON text
// of each, and what a correct reply to it looks like.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench/QueueNames.h"

namespace bench {

enum class RequestKind {
  Deposit,          // balance deposit on the bench account: 200, deal posted
  WithdrawRefused,  // withdrawal far beyond the balance: -1000, nothing posted
  DepositUnknown,   // deposit to a login the server does not know: not found
  Create,           // new account, login chosen by the server: 200
  CreateExisting,   // account with the bench account's login: already exists
  Update,           // update of the bench account: 200
  UpdateUnknown,    // update of an unknown login: not found
  Password,         // master password set without verification (type 2): 200
  PasswordWrong,    // change verified with a wrong master password: refused
  Junk,             // not JSON: the service answers nothing, by design
};
constexpr int kKindCount = 10;

const char* kindName(RequestKind kind);
std::optional<RequestKind> kindFromName(const std::string& name);
int queueOf(RequestKind kind);
bool expectsReply(RequestKind kind);

// What the requests refer to on the trading server.
struct RequestTargets {
  uint64_t account = 0;               // an existing account
  uint64_t unknownLogin = 999999999;  // a login that does not exist
};

// The request text for `kind`; `id` is the request's unique id: it goes into
// "serial" and, for balance requests, into "comment" (so the deal carries it).
std::string requestText(RequestKind kind, const std::string& id, const RequestTargets& targets);

// The reply code a correct service gives for `kind`.
int32_t expectedCode(RequestKind kind);

// Checks a reply body against the request; returns what is wrong, or nothing.
// A code in `allowed` is accepted instead of the expected one (a trading
// server armed to fail); the rest of the reply must then show that nothing
// was done. `allowedCode` (when given) tells whether that happened.
std::optional<std::string> checkReply(RequestKind kind, const std::string& id, const RequestTargets& targets,
                                      const std::string& body, const std::vector<int32_t>& allowed = {},
                                      bool* allowedCode = nullptr);

// A weighted mix, e.g. "deposit=4,update=1,junk=1"; throws
// std::invalid_argument with a readable message for a bad text.
class RequestMix {
 public:
  explicit RequestMix(const std::string& text);
  // The kind of request number `sequence`: a fixed, evenly spread pattern.
  RequestKind kindAt(uint64_t sequence) const { return pattern_[sequence % pattern_.size()]; }
  const std::string& text() const { return text_; }
  bool uses(RequestKind kind) const;

 private:
  std::string text_;
  std::vector<RequestKind> pattern_;
};

}  // namespace bench
