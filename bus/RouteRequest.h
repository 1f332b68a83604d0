#pragma once
// Turns one received request into one manager operation: the only place
// where request queues are paired with operations and callback queues.
#include <optional>
#include <string>

#include "bus/ReplyChannel.h"
#include "host/ServiceConfig.h"
#include "manager/CManager.h"
#include "messages/RequestKind.h"

// What the router reads: the configured queue names, the manager and the
// reply channel of each callback queue.
struct Routes {
  const ServiceConfig& config;
  CManager& manager;
  ReplyChannel& createReplies;    // userRecordCreateCallback
  ReplyChannel& updateReplies;    // userRecordUpdateCallback
  ReplyChannel& passwordReplies;  // userRecordPasswordUpdateCallback
  ReplyChannel& tradeReplies;     // tradeTransInfoCallback
};

// One row of the routing table.
struct Route {
  using Operation = void (CManager::*)(Json::Value, ReplySender*, ChangeGate*);
  RequestKind kind;
  Operation operation;
  ReplyChannel* replies;
};

// The queue name matched exactly (case-sensitive, no trimming) against
// userRecordCreate, userRecordUpdate, userRecordPasswordUpdate and
// tradeTransInfo in that order; the first match wins. None: no route.
std::optional<Route> routeFor(const Routes& routes, const std::string& queue);

// Parses text; a text that is not a JSON object is dropped silently. The
// queue's route runs its operation, whose reply carries correlationId.
// Exceptions of the parser (nesting too deep), of the record building (wrong
// member type) and of the reply channel pass to the caller.
void RouteRequest(const Routes& routes, std::string queue, std::string text, const std::string& correlationId,
                  ChangeGate* gate = nullptr);
