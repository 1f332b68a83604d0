#include "bus/JournalPlan.h"

#include <cmath>

#include "manager/ServerForm.h"
#include "support/Json.h"

namespace {

Json::Value objectOf(const std::map<std::string, std::string>& values) {
  Json::Value v(Json::objectValue);
  for (const auto& [key, value] : values) v[key] = value;
  return v;
}

std::map<std::string, std::string> mapOf(const Json::Value& v) {
  std::map<std::string, std::string> values;
  if (!v.isObject()) return values;
  for (const std::string& key : v.getMemberNames())
    if (v[key].isString()) values[key] = v[key].asString();
  return values;
}

}  // namespace

std::string planText(const PlannedChange& change) {
  Json::Value v;
  v["kind"] = static_cast<int>(change.kind);
  v["login"] = Json::Value(static_cast<Json::UInt64>(change.login));
  v["action"] = change.action;
  v["amount"] = change.amount;
  v["comment"] = change.comment;
  if (!change.values.empty()) v["values"] = objectOf(change.values);
  if (!change.before.empty()) v["before"] = objectOf(change.before);
  if (change.passwordChangedMs != 0) v["passwordChangedMs"] = Json::Value(Json::Int64(change.passwordChangedMs));
  if (change.serverTimeMs != 0) v["serverTimeMs"] = Json::Value(Json::Int64(change.serverTimeMs));
  return writeJson(v);
}

std::optional<PlannedChange> planFrom(const std::string& text) {
  Json::Value v;
  if (text.empty() || !parseJson(text, v) || !v.isObject()) return std::nullopt;
  try {
    PlannedChange change;
    change.kind = static_cast<PlannedChange::Kind>(v["kind"].asInt());
    change.login = v["login"].asUInt64();
    change.action = v["action"].asUInt();
    change.amount = v["amount"].asDouble();
    change.comment = v["comment"].asString();
    change.values = mapOf(v["values"]);
    change.before = mapOf(v["before"]);
    change.passwordChangedMs = v["passwordChangedMs"].asInt64();
    change.serverTimeMs = v["serverTimeMs"].asInt64();
    return change;
  } catch (const Json::Exception&) {
    return std::nullopt;
  }
}

bool sameEffect(const PlannedChange& a, const PlannedChange& b) {
  if (a.kind != b.kind || a.login != b.login) return false;
  switch (a.kind) {
    case PlannedChange::Kind::PostDeal:
      // As the server keeps them: two comments alike in what a deal record
      // holds cannot be told apart there.
      return a.action == b.action && moneyAsKept(a.amount) == moneyAsKept(b.amount) &&
             dealCommentAsKept(a.comment) == dealCommentAsKept(b.comment);
    case PlannedChange::Kind::CreateAccount:
      return a.values == b.values;
    case PlannedChange::Kind::UpdateAccount:
    case PlannedChange::Kind::SetPassword:
      return true;
  }
  return true;
}
