#include "bus/RequestProcessor.h"

#include <algorithm>
#include <optional>

#include "bus/JournalGate.h"
#include "bus/ProcessOwner.h"
#include "manager/ResultCode.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Json.h"
#include "support/Metrics.h"

struct RequestProcessor::Request {
  const Delivery& delivery;
  Json::Value root;
  Route route;
  std::string serial;
  std::string digest;
  bool journaled = false;  // this process wrote or took over its entry
  bool rechecked = false;  // a failure after its change was recorded was checked once

  const std::string& queue() const { return delivery.queue; }
  const std::string& id() const { return delivery.messageId; }
};

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Prints and logs one line about a request: format takes the queue, the
// message id (or serial) and, when given, a detail.
void tell(const char* format, const std::string& queue, const std::string& id,
          const std::string& detail = std::string()) {
  consolePrint(format, queue.c_str(), id.c_str(), detail.c_str());
  writeLog(format, queue.c_str(), id.c_str(), detail.c_str());
}

// As the consumer reported unreadable requests before there was a journal.
void tellFailed(const std::string& queue, const char* reason) {
  consolePrint("destURI #%s Request failed: %s\n", queue.c_str(), reason);
  writeLog("destURI #%s Request failed: %s\n", queue.c_str(), reason);
}

// Login and amount for the operator's view; never raises.
uint64_t loginOf(const Json::Value& root) {
  const Json::Value& v = root["login"];
  return v.isUInt64() ? v.asUInt64() : 0;
}
double amountOf(const Json::Value& root) {
  const Json::Value& v = root["amount"];
  return v.isNumeric() ? v.asDouble() : 0.0;
}
std::string serialOf(const Json::Value& root) {
  const Json::Value& v = root["serial"];
  return v.isString() ? v.asString() : std::string();
}

}  // namespace

RequestProcessor::RequestProcessor(Routes routes, RequestJournal& journal, InFlight& inFlight, Settings settings)
    : routes_(routes), journal_(journal), inFlight_(inFlight), settings_(settings) {}

Settlement RequestProcessor::process(const Delivery& delivery) {
  Metrics& metrics = serviceMetrics();
  metrics.requestReceived(delivery.queue);
  Json::Value root;
  try {
    if (!parseJson(delivery.text, root) || !root.isObject()) {
      metrics.requestDropped(delivery.queue);
      return Settlement::acknowledge();  // dropped without reply
    }
  } catch (const Json::Exception& e) {
    tellFailed(delivery.queue, e.what());
    metrics.requestDropped(delivery.queue);
    return Settlement::acknowledge();
  }
  const std::optional<Route> route = routeFor(routes_, delivery.queue);
  if (!route) return Settlement::acknowledge();
  // The consumer holds the request's place among those in flight.
  if (inFlight_.stopping()) return Settlement::leave();  // the next start takes it
  Request request{delivery, std::move(root), *route, std::string(), requestDigest(delivery.text), false, false};
  request.serial = serialOf(request.root);
  return decideAndAct(request);
}

void RequestProcessor::acknowledged(const std::string& queue, const std::string& messageId) {
  journal_.acknowledged(queue, messageId);
}

Settlement RequestProcessor::decideAndAct(Request& r) {
  const auto deadline = std::chrono::steady_clock::now() + settings_.ownerWait;
  for (;;) {
    const std::optional<JournalEntry> entry = journal_.find(r.queue(), r.id());
    std::optional<JournalEntry> serialEntry;
    if (!entry && settings_.retrySafeSerials && !r.serial.empty())
      serialEntry = journal_.findSerial(r.queue(), r.serial, r.id());

    DeliveryFacts facts;
    facts.redelivered = r.delivery.redelivered;
    facts.correlationId = r.delivery.correlationId;
    if (entry) {
      facts.entry = &*entry;
      facts.entryOwner = ownerState(entry->owner);
    }
    if (serialEntry) {
      facts.serialEntry = &*serialEntry;
      facts.serialOwner = ownerState(serialEntry->owner);
      facts.sameBody = serialEntry->digest == r.digest;
    }
    const DeliveryDecision decision = decideDelivery(facts);
    const JournalEntry* subject = decision.subject;
    r.journaled = entry && entry->owner == journal_.owner();

    switch (decision.action) {
      case DeliveryAction::CarryOut:
        return carryOut(r);
      case DeliveryAction::CheckThenCarryOut:
      case DeliveryAction::Resolve:
        return checkThenCarryOut(r, decision.action == DeliveryAction::Resolve ? subject : nullptr);
      case DeliveryAction::AwaitOwner:
        if (std::chrono::steady_clock::now() >= deadline) return answerInDoubt(r, "still in hand by " + subject->owner);
        if (!inFlight_.pause(std::chrono::milliseconds(200))) return Settlement::leave();
        continue;
      case DeliveryAction::Replay:
        if (subject->reply.empty()) return Settlement::acknowledge();  // it never had a reply
        serviceMetrics().replyReplayed(r.queue());
        tell("destURI #%s Redelivered %s: done already, reply sent again\n", r.queue(), r.id());
        return answer(r, subject->reply);
      case DeliveryAction::AcknowledgeOnly:
        serviceMetrics().replyReplayed(r.queue());
        tell("destURI #%s Redelivered %s: answered already, acknowledged\n", r.queue(), r.id());
        return Settlement::acknowledge();
      case DeliveryAction::ReplaySerial:
        takeOver(r);
        journal_.done(r.queue(), r.id(), subject->reply, subject->dealId, false, "serial of " + subject->messageId);
        serviceMetrics().replyReplayed(r.queue());
        tell("destURI #%s Serial %s: answered already, reply sent again (%s)\n", r.queue(), r.serial,
             subject->messageId);
        return answer(r, subject->reply);
      case DeliveryAction::RefuseSerial: {
        takeOver(r);
        const std::string reply = replyWithCode(r.route.kind, r.root, replycode::SerialReused);
        journal_.done(r.queue(), r.id(), reply, 0, false, "serial used by " + subject->messageId);
        tell("destURI #%s Serial %s: used by another request, refused (%s)\n", r.queue(), r.serial, subject->messageId);
        return answer(r, reply);
      }
    }
    return Settlement::leave();
  }
}

void RequestProcessor::takeOver(Request& r) {
  if (r.journaled) return;
  JournalEntry e;
  e.queue = r.queue();
  e.messageId = r.id();
  e.correlationId = r.delivery.correlationId;
  e.serial = r.serial;
  e.kind = kindName(r.route.kind);
  e.digest = r.digest;
  e.login = loginOf(r.root);
  e.amount = amountOf(r.root);
  journal_.received(e);
  r.journaled = true;
}

Settlement RequestProcessor::carryOut(Request& r) {
  takeOver(r);
  CapturedReply reply;
  JournalGate gate(journal_, r.queue(), r.id());
  const Clock::time_point start = Clock::now();
  try {
    (routes_.manager.*r.route.operation)(r.root, &reply, &gate);
    serviceMetrics().observeTradingServer(r.queue(), secondsSince(start));
  } catch (const std::exception& e) {
    if (gate.asked()) {
      // Raised after the change was recorded as started (out of memory
      // while the reply was built, say): the server may have changed, so it
      // is settled as for a process that died there. Once only; a second
      // failure leaves it to the next delivery.
      tellFailed(r.queue(), e.what());
      const std::optional<JournalEntry> entry = journal_.find(r.queue(), r.id());
      if (r.rechecked || !entry) return Settlement::leave();
      r.rechecked = true;
      return checkThenCarryOut(r, &*entry);
    }
    serviceMetrics().requestDropped(r.queue());
    // Raised while the record was read, before any server call: the
    // request can never be carried out. It gets no reply.
    tellFailed(r.queue(), e.what());
    journal_.done(r.queue(), r.id(), std::string(), 0, false, std::string("unreadable: ") + e.what());
    return Settlement::acknowledge();
  }
  journal_.done(r.queue(), r.id(), reply.text(), gate.dealId(), gate.changed());
  return answer(r, reply.text());
}

Settlement RequestProcessor::checkThenCarryOut(Request& r, const JournalEntry* subject) {
  takeOver(r);
  EarlierAttempt attempt;
  attempt.kind = r.route.kind;
  if (subject) {
    if (subject->planned) attempt.planned = &*subject->planned;
    attempt.sinceMs = subject->startedAt ? subject->startedAt : subject->receivedAt;
  } else {
    attempt.sinceMs = r.delivery.timestampMs;
  }
  const std::string subjectId = subject ? subject->messageId : r.id();
  if (attempt.sinceMs == 0) return answerInDoubt(r, "the broker did not say when it took the request");
  attempt.claimed = [&](uint64_t dealId) { return journal_.dealClaimed(dealId, r.queue(), r.id(), subjectId); };
  EarlierChange earlier;
  try {
    earlier = routes_.manager.FindEarlierChange(r.root, attempt);
  } catch (const std::exception& e) {
    tellFailed(r.queue(), e.what());
    journal_.done(r.queue(), r.id(), std::string(), 0, false, std::string("unreadable: ") + e.what());
    return Settlement::acknowledge();
  }
  switch (earlier.found) {
    case EarlierChange::Found::Yes:
      tell("destURI #%s In doubt %s: found on the trading server (%s), not carried out again\n", r.queue(), r.id(),
           earlier.why);
      journal_.done(r.queue(), r.id(), earlier.reply, earlier.dealId, false, "found: " + earlier.why);
      return answer(r, earlier.reply);
    case EarlierChange::Found::No:
      tell("destURI #%s In doubt %s: not on the trading server (%s), carried out\n", r.queue(), r.id(), earlier.why);
      journal_.note(r.queue(), r.id(), "not found: " + earlier.why);
      return carryOut(r);
    case EarlierChange::Found::Unknown:
      break;
  }
  return answerInDoubt(r, earlier.why);
}

Settlement RequestProcessor::answerInDoubt(Request& r, const std::string& why) {
  takeOver(r);
  const std::string reply = replyWithCode(r.route.kind, r.root, replycode::InDoubt);
  journal_.inDoubt(r.queue(), r.id(), reply, why);
  serviceMetrics().requestInDoubt(r.queue());
  tell("destURI #%s In doubt %s: %s; answered -1001; reconcile\n", r.queue(), r.id(), why);
  return answer(r, reply);
}

Settlement RequestProcessor::answer(const Request& r, const std::string& reply) {
  return Settlement::confirm(reply, *r.route.replies);
}

void RequestProcessor::confirmed(const std::string& queue, const ReplyConfirmer::Batch& batch,
                                 std::function<void(bool)> then) {
  std::vector<std::pair<std::string, std::string>> replies;
  replies.reserve(batch.size());
  for (const ReplyConfirmer::Item& item : batch) replies.emplace_back(item.messageId, item.correlationId);
  journal_.confirmed(queue, replies, std::move(then));
}
