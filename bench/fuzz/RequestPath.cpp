#include "bench/fuzz/RequestPath.h"

#include <json/json.h>

#include <cstdint>

#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Json.h"

namespace bench {
namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    const uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

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
  require(data["serial"].isString(), "reply serial is not a string", reply);
  // Bytes that are no UTF-8 are written as U+FFFD: only valid text must
  // come back unchanged.
  require(!validUtf8(serial) || data["serial"].asString() == serial, "reply serial differs", reply);
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
