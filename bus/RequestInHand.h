#pragma once
// A request in the processor's hands, and the lines it prints about it;
// shared by the files of RequestProcessor.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

#include "bus/RequestProcessor.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Json.h"

struct RequestProcessor::Request {
  const Delivery& delivery;
  Json::Value root;
  Route route;
  std::string serial;
  std::string digest;
  bool journaled = false;  // this process wrote or took over its entry
  bool rechecked = false;  // an attempt whose outcome was not told was checked once
  // The server did not answer a change: what the check does not find may
  // still be made, so it is not carried out again.
  bool unanswered = false;

  const std::string& queue() const { return delivery.queue; }
  const std::string& id() const { return delivery.messageId; }
};

namespace requestlines {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Prints and logs one line about a request: format takes the queue, the
// message id (or serial) and, when given, a detail.
inline void tell(const char* format, const std::string& queue, const std::string& id,
                 const std::string& detail = std::string()) {
  consolePrint(format, queue.c_str(), id.c_str(), detail.c_str());
  writeLog(format, queue.c_str(), id.c_str(), detail.c_str());
}

// As the consumer reported unreadable requests before there was a journal.
inline void tellFailed(const std::string& queue, const char* reason) {
  consolePrint("destURI #%s Request failed: %s\n", queue.c_str(), reason);
  writeLog("destURI #%s Request failed: %s\n", queue.c_str(), reason);
}

// Login and amount for the operator's view; never raises.
inline uint64_t loginOf(const Json::Value& root) {
  const Json::Value& v = root["login"];
  return v.isUInt64() ? v.asUInt64() : 0;
}
inline double amountOf(const Json::Value& root) {
  const Json::Value& v = root["amount"];
  return v.isNumeric() ? v.asDouble() : 0.0;
}
inline std::string serialOf(const Json::Value& root) {
  const Json::Value& v = root["serial"];
  return v.isString() ? v.asString() : std::string();
}

}  // namespace requestlines

// The messages and serials whose "done" is queued and not yet committed: a
// request that reads the journal for one of them waits for the commit
// first, so that it is decided from what was done, not from "started".
struct RequestProcessor::UnwrittenDones {
  static std::string ofMessage(const std::string& queue, const std::string& id) { return "m\n" + queue + "\n" + id; }
  static std::string ofSerial(const std::string& queue, const std::string& serial) {
    return "s\n" + queue + "\n" + serial;
  }
  void add(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    keys.insert(key);
  }
  void remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = keys.find(key);
    if (it != keys.end()) keys.erase(it);
  }
  bool has(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex);
    return keys.count(key) != 0;
  }
  std::mutex mutex;
  std::unordered_multiset<std::string> keys;
};

// A request kept past its delivery's call, with a delivery of its own.
struct RequestProcessor::HeldRequest {
  explicit HeldRequest(Request&& r)
      : delivery(r.delivery),
        request{delivery,    std::move(r.root), r.route,     std::move(r.serial), std::move(r.digest),
                r.journaled, r.rechecked,       r.unanswered} {}
  Delivery delivery;
  Request request;
};
