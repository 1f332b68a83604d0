#include "bus/RouteRequest.h"

#include "bus/CorrelatedReply.h"
#include "support/Json.h"

std::optional<Route> routeFor(const Routes& routes, const std::string& queue) {
  const ServiceConfig& c = routes.config;
  const std::pair<const std::string&, Route> table[] = {
      {c.userRecordCreate, {RequestKind::Create, &CManager::CreateUser, &routes.createReplies}},
      {c.userRecordUpdate, {RequestKind::Update, &CManager::UpdateUser, &routes.updateReplies}},
      {c.userRecordPasswordUpdate, {RequestKind::Password, &CManager::UpdatePassWord, &routes.passwordReplies}},
      {c.tradeTransInfo, {RequestKind::Trade, &CManager::FinanceBalance, &routes.tradeReplies}},
  };
  for (const auto& [name, route] : table) {
    if (queue == name) return route;
  }
  return std::nullopt;
}

void RouteRequest(const Routes& routes, std::string queue, std::string text, const std::string& correlationId,
                  ChangeGate* gate) {
  Json::Value root;
  if (!parseJson(text, root) || !root.isObject()) return;
  const std::optional<Route> route = routeFor(routes, queue);
  if (!route) return;
  CorrelatedReply reply(*route->replies, correlationId);
  (routes.manager.*route->operation)(std::move(root), &reply, gate);
}
