#include "bench/fuzz/RequestPath.h"

#include <json/json.h>

#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Json.h"

namespace bench {
namespace {

void require(bool condition, const std::string& what, const std::string& reply) {
  if (!condition) throw RequestPathViolation(what + ": " + reply.substr(0, 400));
}

// A reply must be one line of JSON: an object with an integer code, the
// matching msg and a data object echoing the record's serial and login.
void checkReply(const std::string& reply, int32_t code, const std::string& serial, uint64_t login) {
  require(!reply.empty() && reply.back() == '\n', "reply does not end with a line feed", reply);
  require(reply.find('\n') == reply.size() - 1, "reply spans more than one line", reply);
  Json::Value value;
  bool parsed = false;
  try {
    parsed = parseJson(reply, value);
  } catch (const std::exception& e) {
    require(false, std::string("reply cannot be read back: ") + e.what(), reply);
  }
  require(parsed && value.isObject(), "reply is not a JSON object", reply);
  require(value.size() == 3, "reply has other members than code, data, msg", reply);
  require(value["code"].isInt() && value["code"].asInt() == code, "reply code differs", reply);
  require(value["msg"].isString() && value["msg"].asString() == (code == 200 ? "success" : "fail"), "reply msg differs",
          reply);
  const Json::Value& data = value["data"];
  require(data.isObject(), "reply data is not an object", reply);
  require(data["serial"].isString() && data["serial"].asString() == serial, "reply serial differs", reply);
  require(data["login"].isUInt64() && data["login"].asUInt64() == login, "reply login differs", reply);
}

template <typename Record>
void exercise(const Json::Value& request, RequestPathOutcome& outcome) {
  try {
    const Record record(request);
    ++outcome.recordsBuilt;
    for (int32_t code : {200, -1, -13, -1000}) {
      checkReply(code == 200 ? record.BuildReply() : record.BuildReply(code), code, record.serial, record.login);
      ++outcome.repliesChecked;
    }
  } catch (const Json::LogicError&) {
    // A member of the wrong type: the service answers nothing, by design.
  }
}

}  // namespace

RequestPathOutcome runRequestPath(const std::string& text) {
  RequestPathOutcome outcome;
  Json::Value root;
  try {
    outcome.parsed = parseJson(text, root) && root.isObject();
  } catch (const Json::Exception&) {
    outcome.parsed = false;  // e.g. nested too deep: dropped like other non-JSON
  }
  if (!outcome.parsed) return outcome;
  exercise<UserRecordCreateRequest>(root, outcome);
  exercise<UserRecordUpdateRequest>(root, outcome);
  exercise<PasswordUpdateRequest>(root, outcome);
  exercise<TradeTransInfoRequest>(root, outcome);
  return outcome;
}

}  // namespace bench
