#include "bus/RequestProcessor.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bus/JournalGate.h"
#include "bus/RequestInHand.h"
#include "manager/ResultCode.h"
#include "support/Console.h"
#include "support/DailyLog.h"
#include "support/Json.h"
#include "support/Metrics.h"
#include "support/PasswordMask.h"

using namespace requestlines;

RequestProcessor::RequestProcessor(Routes routes, RequestJournal& journal, InFlight& inFlight, Settings settings)
    : routes_(routes),
      journal_(journal),
      inFlight_(inFlight),
      settings_(settings),
      unwritten_(std::make_shared<UnwrittenDones>()) {}

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
  Request request{delivery, std::move(root), *route, std::string(), journal_.digest(delivery.text), false, false};
  request.serial = serialOf(request.root);
  return workOut(request, nullptr);
}

Settlement RequestProcessor::workOut(Request& r, std::function<Step(Request&)> first) {
  for (;;) {
    try {
      if (first) {
        const Step step = std::exchange(first, nullptr)(r);
        if (step) return *step;
        // The journal changed under the step: see what it holds now.
        r.journaled = false;
        journal_.flush();
      }
      return decideAndAct(r);
    } catch (const JournalReadError& e) {
      // Decided again from the start once the journal answers: as for a
      // delivery after a crash, what was recorded so far tells where it is.
      journal_.readFailed(e.what());
      if (!holdForJournal()) return Settlement::leave();
    }
  }
}

void RequestProcessor::acknowledged(const std::string& queue, const std::string& messageId) {
  journal_.acknowledged(queue, messageId);
}

Settlement RequestProcessor::decideAndAct(Request& r) {
  const auto deadline = Clock::now() + settings_.ownerWait;
  for (int round = 0;; ++round) {
    // Nothing is taken while the journal cannot record it, nor while the
    // trading server is away.
    if (!journal_.writable() && !holdForJournal()) return Settlement::leave();
    if (!holdForSession()) return Settlement::leave();
    if (unwritten_->has(UnwrittenDones::ofMessage(r.queue(), r.id())) ||
        (!r.serial.empty() && unwritten_->has(UnwrittenDones::ofSerial(r.queue(), r.serial))))
      journal_.flush();
    const std::optional<JournalEntry> entry = journal_.find(r.queue(), r.id());
    std::optional<JournalEntry> serialEntry;
    const bool onlyReceived = entry && !entry->answered() && entry->state == JournalState::Received;
    if ((!entry || onlyReceived) && settings_.retrySafeSerials && !r.serial.empty())
      serialEntry = journal_.findSerial(r.queue(), r.serial, r.id());

    DeliveryFacts facts;
    facts.redelivered = r.delivery.redelivered;
    facts.correlationId = r.delivery.correlationId;
    if (entry) {
      facts.entry = &*entry;
      facts.entryOwner = journal_.ownerState(entry->owner);
      if (!entry->answered() && entry->state != JournalState::Received) facts.attempts = journal_.attempts(entry->id);
      r.journaled = r.journaled || facts.entryOwner == OwnerState::ThisProcess;
    }
    if (serialEntry) {
      facts.serialEntry = &*serialEntry;
      facts.serialOwner = journal_.ownerState(serialEntry->owner);
      facts.sameBody = sameDigest(serialEntry->digest, r.digest, r.delivery.text);
    }
    const DeliveryDecision decision = decideDelivery(facts);
    if (decision.action == DeliveryAction::AwaitOwner) {
      // An owner cut off is waited for until its calls must have ended,
      // however long that is; a live one only so long.
      const bool cutOff = facts.entryOwner == OwnerState::CutOff || facts.serialOwner == OwnerState::CutOff;
      if (Clock::now() >= deadline && !cutOff) {
        if (Step step = answerInDoubt(r, "still in hand by " + decision.subject->owner, entry ? &*entry : nullptr))
          return *step;
        r.journaled = false;
        continue;  // the owner settled it meanwhile
      }
      if (!inFlight_.pause(std::chrono::milliseconds(200))) return Settlement::leave();
      continue;
    }
    if (Step step = act(r, decision, entry ? &*entry : nullptr)) return *step;
    // The journal changed under the decision: see what it holds now.
    r.journaled = false;
    journal_.flush();
    if (round > 0 && !inFlight_.pause(std::chrono::milliseconds(50))) return Settlement::leave();
  }
}

RequestProcessor::Step RequestProcessor::act(Request& r, const DeliveryDecision& decision, const JournalEntry* own) {
  const JournalEntry* subject = decision.subject;
  switch (decision.action) {
    case DeliveryAction::CarryOut:
      return carryOut(r, own);
    case DeliveryAction::CheckThenCarryOut:
      return checkThenCarryOut(r, nullptr, own);
    case DeliveryAction::Resolve:
      return checkThenCarryOut(r, subject, own);
    case DeliveryAction::Park:
      serviceMetrics().requestParked(r.queue());
      return answerInDoubt(r,
                           "parked: its handling began in " + std::to_string(kParkAfterAttempts) +
                               " processes that each ended before it was done",
                           own);
    case DeliveryAction::AwaitOwner:
      return std::nullopt;  // handled by the caller
    case DeliveryAction::Replay: {
      if (subject->reply.empty()) return Settlement::acknowledge();  // it never had a reply
      const std::optional<std::string> reply = storedReply(r, *subject);
      if (!reply) {
        // Not the text recorded under its message id: its passwords cannot
        // be put back, and nothing is carried out for it.
        tell("destURI #%s Redelivered %s: its text differs from the one recorded, refused\n", r.queue(), r.id());
        return answer(r, replyWithCode(r.route.kind, r.root, replycode::SerialReused));
      }
      serviceMetrics().replyReplayed(r.queue());
      tell("destURI #%s Redelivered %s: done already, reply sent again\n", r.queue(), r.id());
      return answer(r, *reply);
    }
    case DeliveryAction::AcknowledgeOnly:
      serviceMetrics().replyReplayed(r.queue());
      tell("destURI #%s Redelivered %s: answered already, acknowledged\n", r.queue(), r.id());
      return Settlement::acknowledge();
    case DeliveryAction::ReplaySerial: {
      takeOver(r, own);
      serviceMetrics().replyReplayed(r.queue());
      tell("destURI #%s Serial %s: answered already, reply sent again (%s)\n", r.queue(), r.serial, subject->messageId);
      // The same text (the decision compared digests): its passwords go back.
      return finish(r, restorePasswords(subject->reply, r.root), subject->dealId, false,
                    "serial of " + subject->messageId);
    }
    case DeliveryAction::RefuseSerial: {
      takeOver(r, own);
      tell("destURI #%s Serial %s: used by another request, refused (%s)\n", r.queue(), r.serial, subject->messageId);
      return finish(r, replyWithCode(r.route.kind, r.root, replycode::SerialReused), 0, false,
                    "serial used by " + subject->messageId);
    }
  }
  return Settlement::leave();
}

void RequestProcessor::takeOver(Request& r, const JournalEntry* own) {
  if (r.journaled) return;
  if (own) {
    journal_.takeOver(*own, r.delivery.correlationId);
  } else {
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
  }
  r.journaled = true;
}

RequestProcessor::Step RequestProcessor::carryOut(Request& r, const JournalEntry* own) {
  takeOver(r, own);
  CapturedReply reply;
  JournalGate gate(journal_, r.queue(), r.id(), settings_.retrySafeSerials ? r.serial : std::string());
  const Clock::time_point start = Clock::now();
  const uint64_t losses = routes_.manager.Session().losses();
  try {
    (routes_.manager.*r.route.operation)(r.root, &reply, &gate);
    serviceMetrics().observeTradingServer(r.queue(), secondsSince(start));
  } catch (const std::exception& e) {
    tellFailed(r.queue(), e.what());
    if (gate.recorded()) {
      // Raised after the change was recorded as started (out of memory
      // while the reply was built, say): the server may have changed, so it
      // is settled as for a process that died there. Once only; a second
      // failure leaves it to the next delivery.
      const std::optional<JournalEntry> entry = journal_.find(r.queue(), r.id());
      if (r.rechecked || !entry)
        return answerInDoubt(r, std::string("failed after its change was recorded: ") + e.what(),
                             entry ? &*entry : nullptr);
      r.rechecked = true;
      return checkThenCarryOut(r, &*entry, &*entry);
    }
    if (!gate.asked()) {
      // Raised while the record was read, before any server call: the
      // request can never be carried out. It gets no reply.
      serviceMetrics().requestDropped(r.queue());
      // Acknowledged only once that is recorded (or the entry was settled
      // by another process, whose answer stands).
      Step recorded = finish(r, std::string(), 0, false, std::string("unreadable: ") + e.what());
      if (!recorded || recorded->step == Settlement::Step::Leave) return recorded;
      return Settlement::acknowledge();
    }
  }
  if (!gate.asked() && sessionLostSince(losses)) {
    // It failed on the way to its change because the session went: the
    // failure is the server's absence, not an answer. Decided again, which
    // waits for the session first.
    return std::nullopt;
  }
  if (gate.asked() && !gate.recorded()) {
    // Nothing was changed: the operation stopped at its gate.
    if (gate.outcome() == JournalWrite::Failed) return holdForJournal() ? Step() : Settlement::leave();
    return serialTaken(r);
  }
  if (gate.recorded() && gate.noAnswer()) {
    // The server's answer does not say whether the change was made.
    const std::optional<JournalEntry> entry = journal_.find(r.queue(), r.id());
    if (r.rechecked || !entry)
      return answerInDoubt(r, "the trading server did not answer the change twice", entry ? &*entry : nullptr);
    r.rechecked = true;
    r.unanswered = true;
    tell("destURI #%s In doubt %s: the trading server did not say whether it made the change; checking\n", r.queue(),
         r.id());
    // A change cut off by a lost session is checked once it is open again
    // (the check waits for it).
    return checkThenCarryOut(r, &*entry, &*entry);
  }
  // A change tried and not made: its answer could not be told again from
  // the server, so it is on disk before it goes.
  const bool tried = gate.recorded() && !gate.changed();
  return finishLater(r, reply.text(), gate.effectId(), gate.changed(), tried);
}

Settlement RequestProcessor::finishLater(Request& r, const std::string& reply, uint64_t effectId, bool changed,
                                         bool durable) {
  auto pending = std::make_shared<PendingSettlement>();
  auto held = std::make_shared<HeldRequest>(std::move(r));  // the delivery's own ends with this call
  ReplyChannel& replies = *held->request.route.replies;
  std::vector<std::string> keys{UnwrittenDones::ofMessage(held->request.queue(), held->request.id())};
  if (!held->request.serial.empty())
    keys.push_back(UnwrittenDones::ofSerial(held->request.queue(), held->request.serial));
  for (const std::string& key : keys) unwritten_->add(key);
  // Runs on the journal's writer, which may outlive this processor: it
  // uses only what it holds, and hands the rest to the delivery thread
  // (whose work is dropped once its connection closes, before that).
  journal_.done(held->request.queue(), held->request.id(), reply, effectId, changed, durable,
                [this, pending, held, reply, effectId, changed, durable, &replies, unwritten = unwritten_,
                 keys](JournalWrite outcome) {
                  for (const std::string& key : keys) unwritten->remove(key);
                  if (outcome == JournalWrite::Recorded) return pending->tell(Settlement::confirm(reply, replies));
                  pending->tell(Settlement::workOutAgain([this, held, reply, effectId, changed, durable] {
                    return workOut(held->request, [&](Request& again) {
                      return finish(again, reply, effectId, changed, std::string(), durable);
                    });
                  }));
                });
  return Settlement::later(std::move(pending));
}

RequestProcessor::Step RequestProcessor::answerInDoubt(Request& r, const std::string& why, const JournalEntry* own) {
  takeOver(r, own);
  const std::string reply = replyWithCode(r.route.kind, r.root, replycode::InDoubt);
  for (;;) {
    switch (journal_.inDoubt(r.queue(), r.id(), reply, why)) {
      case JournalWrite::Recorded:
        serviceMetrics().requestInDoubt(r.queue());
        tell("destURI #%s In doubt %s: %s; answered -1001; reconcile\n", r.queue(), r.id(), why);
        return answer(r, reply);
      case JournalWrite::Refused:
        return std::nullopt;
      case JournalWrite::Failed:
        if (!holdForJournal()) return Settlement::leave();
        break;
    }
  }
}

RequestProcessor::Step RequestProcessor::finish(Request& r, const std::string& reply, uint64_t effectId, bool changed,
                                                const std::string& note, bool durable) {
  for (;;) {
    switch (journal_.done(r.queue(), r.id(), reply, effectId, changed, note, durable)) {
      case JournalWrite::Recorded:
        return answer(r, reply);
      case JournalWrite::Refused:
        return lostEntry(r, effectId);
      case JournalWrite::Failed:
        // The outcome is known but not recorded: it is held until it is,
        // or left for the next start to find on the trading server.
        if (!holdForJournal()) return Settlement::leave();
        break;
    }
  }
}

bool RequestProcessor::holdForSession() {
  const SessionState& session = routes_.manager.Session();
  while (!session.up()) {
    if (!inFlight_.pause(settings_.sessionPoll)) return false;
  }
  return true;
}

bool RequestProcessor::sessionLostSince(uint64_t losses) const {
  const SessionState& session = routes_.manager.Session();
  return session.losses() != losses || !session.up();
}

bool RequestProcessor::holdForJournal() {
  while (inFlight_.pause(settings_.journalRetry)) {
    if (journal_.writable()) return true;
  }
  return false;
}

std::optional<std::string> RequestProcessor::storedReply(const Request& r, const JournalEntry& entry) const {
  // Entries recorded without a digest were kept with their passwords.
  if (!entry.digest.empty() && !sameDigest(entry.digest, r.digest, r.delivery.text)) return std::nullopt;
  return restorePasswords(entry.reply, r.root);
}

Settlement RequestProcessor::answer(const Request& r, const std::string& reply) {
  return Settlement::confirm(reply, *r.route.replies);
}

void RequestProcessor::refused(const std::string& queue, const ReplyConfirmer::Item& item, const std::string& why,
                               std::function<void(bool)> then) {
  journal_.replyRefused(queue, item.messageId, why, std::move(then));
}

void RequestProcessor::confirmed(const std::string& queue, const ReplyConfirmer::Batch& batch,
                                 std::function<void(bool)> then) {
  std::vector<std::pair<std::string, std::string>> replies;
  replies.reserve(batch.size());
  for (const ReplyConfirmer::Item& item : batch) replies.emplace_back(item.messageId, item.correlationId);
  journal_.confirmed(queue, replies, std::move(then));
}
