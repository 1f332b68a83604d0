#pragma once
// Carries one delivery of a request through the journal: decides from what
// the journal knows whether to carry it out, check the trading server first,
// answer it from the journal or wait for the process that has it; records
// each step; sends the reply until the broker confirms it. Called from the
// four consumers' delivery threads at once.
#include <chrono>
#include <string>

#include "bus/Delivery.h"
#include "bus/DeliveryPolicy.h"
#include "bus/InFlight.h"
#include "bus/RequestJournal.h"
#include "bus/RouteRequest.h"

class RequestProcessor {
 public:
  struct Settings {
    bool retrySafeSerials = false;
    // How long a request another live process has in hand is waited for
    // before it is answered as in doubt.
    std::chrono::milliseconds ownerWait{30000};
    // Back-off between resends of a reply the broker did not confirm.
    std::chrono::milliseconds firstResendDelay{200};
    std::chrono::milliseconds maxResendDelay{5000};
  };

  RequestProcessor(Routes routes, RequestJournal& journal, InFlight& inFlight, Settings settings);

  // True when the delivery may be acknowledged: its reply is confirmed (or
  // it gets none: not a JSON object, no route, unreadable), and that is on
  // disk. False leaves it to the broker to deliver again.
  bool process(const Delivery& delivery);
  // After the acknowledgement went out.
  void acknowledged(const Delivery& delivery);

 private:
  struct Request;
  bool decideAndAct(Request& request);
  bool carryOut(Request& request);
  bool checkThenCarryOut(Request& request, const JournalEntry* subject);
  bool answerInDoubt(Request& request, const std::string& why);
  bool answer(const Request& request, const std::string& reply);
  bool deliverReply(const Request& request, const std::string& reply);
  void takeOver(Request& request);

  Routes routes_;
  RequestJournal& journal_;
  InFlight& inFlight_;
  Settings settings_;
};
