// Reading the four request records from parsed JSON.
#include <gtest/gtest.h>

#include <string>

#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Json.h"

namespace {

Json::Value parsed(const std::string& text) {
  Json::Value root;
  EXPECT_TRUE(parseJson(text, root)) << text;
  return root;
}

// The message of the Json::LogicError that building a record raises, or ""
// when it builds.
template <class Record>
std::string errorOf(const std::string& text) {
  try {
    Record record(parsed(text));
    return "";
  } catch (const Json::LogicError& e) {
    return e.what();
  }
}

}  // namespace

TEST(RequestRecord, CreateReadsEveryMemberAndDefaultsMissingOnes) {
  const UserRecordCreateRequest empty(parsed("{}"));
  EXPECT_EQ(empty.serial, "");
  EXPECT_EQ(empty.login, 0u);
  EXPECT_EQ(empty.agent, 0u);
  EXPECT_EQ(empty.leverage, 0);
  EXPECT_EQ(empty.valid, 0);
  EXPECT_EQ(empty.routeType, "");
  EXPECT_EQ(empty.masterPass, "");

  const UserRecordCreateRequest full(parsed(R"({
    "serial": 7, "name": "Ivan", "login": 1001, "agent": 5, "email": "a@b.c",
    "phone": "+1", "country": "UA", "id": "X1", "leverage": 100.9,
    "group": "demo", "masterPass": "Mp1", "investorPass": "Ip1",
    "comment": "c", "leadSource": "web", "city": "Kyiv", "town": "T",
    "postalCode": "01001", "addressLine": "Main 1", "routeType": "r1",
    "valid": true, "unknown": [1, 2]})"));
  EXPECT_EQ(full.serial, "7");
  EXPECT_EQ(full.name, "Ivan");
  EXPECT_EQ(full.login, 1001u);
  EXPECT_EQ(full.agent, 5u);
  EXPECT_EQ(full.email, "a@b.c");
  EXPECT_EQ(full.phone, "+1");
  EXPECT_EQ(full.country, "UA");
  EXPECT_EQ(full.id, "X1");
  EXPECT_EQ(full.leverage, 100);
  EXPECT_EQ(full.group, "demo");
  EXPECT_EQ(full.masterPass, "Mp1");
  EXPECT_EQ(full.investorPass, "Ip1");
  EXPECT_EQ(full.comment, "c");
  EXPECT_EQ(full.leadSource, "web");
  EXPECT_EQ(full.city, "Kyiv");
  EXPECT_EQ(full.town, "T");
  EXPECT_EQ(full.postalCode, "01001");
  EXPECT_EQ(full.addressLine, "Main 1");
  EXPECT_EQ(full.routeType, "r1");
  EXPECT_EQ(full.valid, 1);

  const UserRecordCreateRequest negative(parsed(R"({"login": -1})"));
  EXPECT_EQ(negative.login, 18446744073709551615u);
}

TEST(RequestRecord, UpdateAndPasswordReadTheirMembers) {
  const UserRecordUpdateRequest update(parsed(R"({"serial": "s", "name": "N",
    "login": 2002, "groupType": 1, "group": "g", "valid": 0, "routeType": null,
    "leadSource": "ignored", "masterPass": "ignored"})"));
  EXPECT_EQ(update.serial, "s");
  EXPECT_EQ(update.name, "N");
  EXPECT_EQ(update.login, 2002u);
  EXPECT_EQ(update.groupType, 1);
  EXPECT_EQ(update.group, "g");
  EXPECT_EQ(update.routeType, "");

  const PasswordUpdateRequest password(parsed(
      R"({"serial": "p", "login": 3003, "masterPass": "old", "newPass": "new", "type": 1, "routeType": false})"));
  EXPECT_EQ(password.serial, "p");
  EXPECT_EQ(password.login, 3003u);
  EXPECT_EQ(password.masterPass, "old");
  EXPECT_EQ(password.newPass, "new");
  EXPECT_EQ(password.type, 1);
  EXPECT_EQ(password.routeType, "false");
}

TEST(RequestRecord, TradeFloatingIsReadOnlyWithRouteTypeAndOrderStartsAtMinusOne) {
  const TradeTransInfoRequest noRoute(
      parsed(R"({"floating": 5.5, "order": 77, "amount": 100, "login": 1001, "type": 1})"));
  EXPECT_EQ(noRoute.floating, 0.0);
  EXPECT_EQ(noRoute.routeType, "");
  EXPECT_EQ(noRoute.order, -1);
  EXPECT_EQ(noRoute.amount, 100.0);
  EXPECT_EQ(noRoute.login, 1001u);
  EXPECT_EQ(noRoute.type, 1);

  const TradeTransInfoRequest emptyRoute(parsed(R"({"floating": 5.5, "routeType": ""})"));
  EXPECT_EQ(emptyRoute.floating, 5.5);
  EXPECT_EQ(emptyRoute.routeType, "");

  const TradeTransInfoRequest nullRoute(parsed(R"({"floating": 5.5, "routeType": null})"));
  EXPECT_EQ(nullRoute.floating, 0.0);

  const TradeTransInfoRequest routeNoFloating(parsed(R"({"routeType": "cancel"})"));
  EXPECT_EQ(routeNoFloating.floating, 0.0);
  EXPECT_EQ(routeNoFloating.routeType, "cancel");

  // "floating" is not read at all without routeType, so a bad one is no error.
  EXPECT_EQ(errorOf<TradeTransInfoRequest>(R"({"floating": "x"})"), "");
  EXPECT_EQ(errorOf<TradeTransInfoRequest>(R"({"floating": "x", "routeType": "r"})"),
            "Value is not convertible to double.");
}

TEST(RequestRecord, WrongTypesRaiseTheLibraryErrorOfTheFirstBadMemberRead) {
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"login": "1001"})"), "Value is not convertible to Int64.");
  // The parser keeps positive integers above the 32-bit range as unsigned.
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"leverage": 3000000000})"), "LargestUInt out of Int range");
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"leverage": -3000000000})"), "LargestInt out of Int range");
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"leverage": 1e12})"), "double out of Int range");
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"name": [1]})"), "Type is not convertible to string");
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"login": 18446744073709551615})"), "LargestUInt out of Int64 range");
  // Reading order decides: valid is read before routeType, login before type.
  EXPECT_EQ(errorOf<UserRecordCreateRequest>(R"({"routeType": {}, "valid": "x"})"), "Value is not convertible to Int.");
  EXPECT_EQ(errorOf<UserRecordUpdateRequest>(R"({"groupType": "x", "serial": []})"),
            "Type is not convertible to string");
  EXPECT_EQ(errorOf<PasswordUpdateRequest>(R"({"type": "x", "newPass": {}})"), "Type is not convertible to string");
  EXPECT_EQ(errorOf<TradeTransInfoRequest>(R"({"type": "1", "login": "1001"})"), "Value is not convertible to Int64.");
  EXPECT_EQ(errorOf<TradeTransInfoRequest>(R"({"type": "1", "login": 1001})"), "Value is not convertible to Int.");
  // A root that is not an object cannot be read as one.
  EXPECT_NE(errorOf<TradeTransInfoRequest>(R"([1, 2])"), "");
}
