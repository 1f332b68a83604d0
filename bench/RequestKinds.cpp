#include "bench/RequestKinds.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "manager/ResultCodes.h"
#include "support/Json.h"

namespace bench {
namespace {

constexpr double kDepositAmount = 1.0;
constexpr double kRefusedAmount = -1e9;  // beyond any bench account's balance
constexpr const char* kNewPassword = "Bench#1pass";

struct KindInfo {
  RequestKind kind;
  const char* name;
  int queue;
  int32_t code;  // expected reply code (unused for Junk)
};

int32_t negated(MTAPIRES r) { return static_cast<int32_t>(-static_cast<int64_t>(r)); }

const KindInfo kKinds[kKindCount] = {
    {RequestKind::Deposit, "deposit", kTradeQueue, 200},
    {RequestKind::WithdrawRefused, "withdraw-refused", kTradeQueue, -1000},
    {RequestKind::DepositUnknown, "deposit-unknown", kTradeQueue, negated(mtret::NotFound)},
    {RequestKind::Create, "create", kCreateQueue, 200},
    {RequestKind::CreateExisting, "create-existing", kCreateQueue, negated(mtret::AccountExists)},
    {RequestKind::Update, "update", kUpdateQueue, 200},
    {RequestKind::UpdateUnknown, "update-unknown", kUpdateQueue, negated(mtret::NotFound)},
    {RequestKind::Password, "password", kPasswordQueue, 200},
    {RequestKind::PasswordWrong, "password-wrong", kPasswordQueue, negated(mtret::WrongPassword)},
    {RequestKind::Junk, "junk", kTradeQueue, 0},
};

const KindInfo& info(RequestKind kind) { return kKinds[static_cast<int>(kind)]; }

Json::Value::UInt64 u64(uint64_t v) { return static_cast<Json::Value::UInt64>(v); }

uint64_t loginOf(RequestKind kind, const RequestTargets& t) {
  switch (kind) {
    case RequestKind::DepositUnknown:
    case RequestKind::UpdateUnknown:
      return t.unknownLogin;
    case RequestKind::Create:
      return 0;
    default:
      return t.account;
  }
}

Json::Value requestValue(RequestKind kind, const std::string& id, const RequestTargets& t) {
  Json::Value r(Json::objectValue);
  r["serial"] = id;
  r["login"] = u64(loginOf(kind, t));
  switch (kind) {
    case RequestKind::Deposit:
    case RequestKind::DepositUnknown:
      r["amount"] = kDepositAmount;
      r["type"] = 1;
      r["comment"] = id;
      break;
    case RequestKind::WithdrawRefused:
      r["amount"] = kRefusedAmount;
      r["type"] = 1;
      r["comment"] = id;
      break;
    case RequestKind::Create:
    case RequestKind::CreateExisting:
      r["name"] = "Bench " + id;
      r["group"] = "demo\\bench";
      r["leverage"] = 100;
      r["email"] = "bench@example.org";
      r["country"] = "Nowhere";
      r["masterPass"] = kNewPassword;
      r["investorPass"] = "Bench#2pass";
      r["comment"] = id;
      r["valid"] = 1;
      break;
    case RequestKind::Update:
    case RequestKind::UpdateUnknown:
      r["name"] = "Bench " + id;
      r["group"] = "demo\\bench";
      r["leverage"] = 100;
      r["city"] = "Benchton";
      r["groupType"] = 2;
      r["valid"] = 1;
      break;
    case RequestKind::Password:
      r["newPass"] = kNewPassword;
      r["type"] = 2;
      break;
    case RequestKind::PasswordWrong:
      r["masterPass"] = "wrong-" + id;
      r["newPass"] = "Never#1used";
      r["type"] = 1;
      break;
    case RequestKind::Junk:
      break;
  }
  return r;
}

}  // namespace

const char* kindName(RequestKind kind) { return info(kind).name; }

std::optional<RequestKind> kindFromName(const std::string& name) {
  for (const auto& k : kKinds) {
    if (name == k.name) return k.kind;
  }
  return std::nullopt;
}

int queueOf(RequestKind kind) { return info(kind).queue; }
bool expectsReply(RequestKind kind) { return kind != RequestKind::Junk; }
int32_t expectedCode(RequestKind kind) { return info(kind).code; }

std::string requestText(RequestKind kind, const std::string& id, const RequestTargets& targets) {
  if (kind == RequestKind::Junk) return "not json: " + id;
  return writeJson(requestValue(kind, id, targets));
}

std::optional<std::string> checkReply(RequestKind kind, const std::string& id, const RequestTargets& targets,
                                      const std::string& body, const std::vector<int32_t>& allowed, bool* allowedCode) {
  if (allowedCode) *allowedCode = false;
  if (!expectsReply(kind)) return std::string("a reply to a request that must get none");
  Json::Value reply;
  bool parsed = false;
  try {
    parsed = parseJson(body, reply);
  } catch (const std::exception&) {
  }
  if (!parsed || !reply.isObject()) return std::string("reply is not a JSON object");
  const Json::Value& code = reply["code"];
  int32_t want = expectedCode(kind);
  if (code.isInt() && code.asInt() != want &&
      std::find(allowed.begin(), allowed.end(), code.asInt()) != allowed.end()) {
    want = code.asInt();
    if (allowedCode) *allowedCode = true;
  }
  if (!code.isInt() || code.asInt() != want) {
    return "code " +
           (code.isNull()  ? std::string("missing")
            : code.isInt() ? std::to_string(code.asInt())
                           : "not an integer") +
           ", expected " + std::to_string(want);
  }
  const Json::Value& msg = reply["msg"];
  const char* wantMsg = want == 200 ? "success" : "fail";
  if (!msg.isString() || msg.asString() != wantMsg) return std::string("msg is not \"") + wantMsg + "\"";
  const Json::Value& data = reply["data"];
  if (!data.isObject()) return std::string("data is not an object");
  if (!data["serial"].isString() || data["serial"].asString() != id) return std::string("data.serial differs");
  if (!data["login"].isUInt64() || data["login"].asUInt64() != u64(loginOf(kind, targets))) {
    return std::string("data.login differs");
  }
  const Json::Value sent = requestValue(kind, id, targets);
  switch (kind) {
    case RequestKind::Deposit:
    case RequestKind::WithdrawRefused:
    case RequestKind::DepositUnknown: {
      if (!data["comment"].isString() || data["comment"].asString() != id) return std::string("data.comment differs");
      if (!data["amount"].isDouble() || std::fabs(data["amount"].asDouble() - sent["amount"].asDouble()) > 1e-9) {
        return std::string("data.amount differs");
      }
      if (!data["order"].isInt64()) return std::string("data.order missing");
      const bool posted = kind == RequestKind::Deposit && want == 200;
      if (posted && data["order"].asInt64() <= 0) return std::string("data.order holds no deal id");
      if (!posted && data["order"].asInt64() != -1) return std::string("data.order set although nothing was posted");
      break;
    }
    case RequestKind::Create:
    case RequestKind::CreateExisting:
    case RequestKind::Update:
    case RequestKind::UpdateUnknown:
      if (!data["name"].isString() || data["name"].asString() != sent["name"].asString()) {
        return std::string("data.name differs");
      }
      break;
    case RequestKind::Password:
    case RequestKind::PasswordWrong:
      if (!data["newPass"].isString() || data["newPass"].asString() != sent["newPass"].asString()) {
        return std::string("data.newPass differs");
      }
      if (!data["type"].isInt() || data["type"].asInt() != sent["type"].asInt())
        return std::string("data.type differs");
      break;
    case RequestKind::Junk:
      break;
  }
  return std::nullopt;
}

RequestMix::RequestMix(const std::string& text) : text_(text) {
  std::vector<std::pair<RequestKind, unsigned>> weights;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string name = item.substr(0, eq);
    const auto kind = kindFromName(name);
    if (!kind) {
      std::string known;
      for (const auto& k : kKinds) known += std::string(known.empty() ? "" : ", ") + k.name;
      throw std::invalid_argument("unknown request kind '" + name + "' in mix (known: " + known + ")");
    }
    unsigned weight = 1;
    if (eq != std::string::npos) {
      const std::string w = item.substr(eq + 1);
      if (w.empty() || w.size() > 4 || w.find_first_not_of("0123456789") != std::string::npos) {
        throw std::invalid_argument("weight of '" + name + "' must be a number from 0 to 9999");
      }
      weight = static_cast<unsigned>(std::stoul(w));
    }
    if (weight > 0) weights.emplace_back(*kind, weight);
  }
  if (weights.empty()) throw std::invalid_argument("the mix '" + text + "' has no request kind with a weight above 0");

  // Smooth weighted round robin: every kind spread evenly over the pattern.
  unsigned total = 0;
  for (const auto& w : weights) total += w.second;
  std::vector<long> current(weights.size(), 0);
  for (unsigned n = 0; n < total; ++n) {
    size_t best = 0;
    for (size_t i = 0; i < weights.size(); ++i) {
      current[i] += weights[i].second;
      if (current[i] > current[best]) best = i;
    }
    current[best] -= total;
    pattern_.push_back(weights[best].first);
  }
}

bool RequestMix::uses(RequestKind kind) const {
  for (auto k : pattern_) {
    if (k == kind) return true;
  }
  return false;
}

}  // namespace bench
