#include "bus/RouteRequest.h"

#include "bus/CorrelatedReply.h"
#include "support/Json.h"

void RouteRequest(const Routes& routes, std::string queue, std::string text,
                  const std::string& correlationId) {
  Json::Value root;
  if (!parseJson(text, root) || !root.isObject()) return;

  using Operation = void (CManager::*)(Json::Value, ReplySender*);
  struct Route {
    const std::string& queue;
    Operation operation;
    ReplyChannel& replies;
  };
  const ServiceConfig& c = routes.config;
  const Route table[] = {
      {c.userRecordCreate, &CManager::CreateUser, routes.createReplies},
      {c.userRecordUpdate, &CManager::UpdateUser, routes.updateReplies},
      {c.userRecordPasswordUpdate, &CManager::UpdatePassWord, routes.passwordReplies},
      {c.tradeTransInfo, &CManager::FinanceBalance, routes.tradeReplies},
  };
  for (const Route& route : table) {
    if (queue == route.queue) {
      CorrelatedReply reply(route.replies, correlationId);
      (routes.manager.*route.operation)(std::move(root), &reply);
      return;
    }
  }
}
