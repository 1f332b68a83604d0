// CreateUser, UpdateUser and UpdatePassWord against the real trading server.
#include <gtest/gtest.h>

#include "ManagerTestSupport.h"

using namespace mgrtest;

namespace {

Json::Value createRequest(uint64_t login) {
  Json::Value r;
  r["serial"] = "c-1";
  r["login"] = Json::UInt64(login);
  r["name"] = "Ann\xC2\xA0Lee";  // a no-break space, stored as a plain one
  r["leverage"] = 100;
  r["group"] = "demo-retail";
  r["email"] = "ann@example.org";
  r["phone"] = "+49 30 1234";
  r["id"] = "P-77";
  r["country"] = "Germany";
  r["city"] = "Berlin";
  r["town"] = "Potsdam";
  r["postalCode"] = "14467";
  r["addressLine"] = "Main St 1";
  r["comment"] = "vip";
  r["leadSource"] = "web";
  r["agent"] = 77;
  r["valid"] = 1;
  r["masterPass"] = "Master#1";
  r["investorPass"] = "Invest#1";
  r["routeType"] = "r";
  return r;
}

// Armed faults as "operation remaining" words; a call to the operation uses
// one up, so an unchanged list proves the operation was not called.
std::string armedFaults(TradeServer& server) { return server.run({"fault", "list"}); }

}  // namespace

TEST(AccountOperations, CreateUserSendsEveryFieldAndRepliesWithTheRequest) {
  TradeServer server;
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  RecordingSender sender;

  connected.manager.CreateUser(createRequest(60001), &sender);
  ASSERT_EQ(sender.replies().size(), 1u);
  EXPECT_EQ(sender.replies()[0],
            "{\"code\":200,\"data\":{\"addressLine\":\"Main St 1\",\"agent\":77,\"city\":\"Berlin\","
            "\"comment\":\"vip\",\"country\":\"Germany\",\"email\":\"ann@example.org\",\"group\":\"demo-retail\","
            "\"id\":\"P-77\",\"investorPass\":\"Invest#1\",\"leadSource\":\"web\",\"leverage\":100,"
            "\"login\":60001,\"masterPass\":\"Master#1\",\"name\":\"Ann\\u00a0Lee\",\"phone\":\"+49 30 1234\","
            "\"postalCode\":\"14467\",\"routeType\":\"r\",\"serial\":\"c-1\",\"town\":\"Potsdam\",\"valid\":1},"
            "\"msg\":\"success\"}\n");

  EXPECT_EQ(server.accountField(60001, "name"), "Ann Lee");
  EXPECT_EQ(server.accountField(60001, "group"), "demo-retail");
  EXPECT_EQ(server.accountField(60001, "email"), "ann@example.org");
  EXPECT_EQ(server.accountField(60001, "phone"), "+49 30 1234");
  EXPECT_EQ(server.accountField(60001, "id"), "P-77");
  EXPECT_EQ(server.accountField(60001, "country"), "Germany");
  EXPECT_EQ(server.accountField(60001, "city"), "Potsdam");  // the town wins when given
  EXPECT_EQ(server.accountField(60001, "zip"), "14467");
  EXPECT_EQ(server.accountField(60001, "address"), "Main St 1");
  EXPECT_EQ(server.accountField(60001, "comment"), "vip");
  EXPECT_EQ(server.accountField(60001, "lead_source"), "web");
  EXPECT_EQ(server.accountField(60001, "agent"), "77");
  EXPECT_EQ(server.accountField(60001, "leverage"), "100");
  EXPECT_EQ(server.accountField(60001, "rights"), "355");
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, 60001, L"Master#1"), mtret::Ok);
  EXPECT_EQ(server.verifyPassword(MT_PASS_INVESTOR, 60001, L"Invest#1"), mtret::Ok);

  // "valid" other than 1 gives the other rights; an empty town keeps the city.
  for (int valid : {0, 2}) {
    const uint64_t login = 60002 + static_cast<uint64_t>(valid);
    Json::Value request = createRequest(login);
    request["valid"] = valid;
    request["town"] = "";
    connected.manager.CreateUser(request, &sender);
    EXPECT_EQ(parse(sender.replies().back())["code"].asInt(), 200);
    EXPECT_EQ(server.accountField(login, "rights"), "359");
    EXPECT_EQ(server.accountField(login, "city"), "Berlin");
  }

  // The login is taken: the server's code, negated.
  connected.manager.CreateUser(createRequest(60001), &sender);
  const Json::Value taken = parse(sender.replies().back());
  EXPECT_EQ(taken["code"].asInt(), -static_cast<int>(mtret::AccountExists));
  EXPECT_EQ(taken["msg"].asString(), "fail");
  EXPECT_EQ(taken["data"]["login"].asUInt64(), 60001u);

  // Result 1 (done, nothing to do) counts as success.
  server.armFault("AddAccount", mtret::OkNone);
  connected.manager.CreateUser(createRequest(60009), &sender);
  EXPECT_EQ(parse(sender.replies().back())["code"].asInt(), 200);
  server.armFault("AddAccount", mtret::InvalidParams);
  connected.manager.CreateUser(createRequest(60010), &sender);
  EXPECT_EQ(parse(sender.replies().back())["code"].asInt(), -3);
  EXPECT_EQ(sender.replies().size(), 6u);
}

TEST(AccountOperations, UpdateUserChangesTheLoadedRecord) {
  TradeServer server;
  const uint64_t login =
      server.addAccount({"--name", "Old", "--comment", "server note", "--lead-source", "fair", "--city", "Bonn",
                         "--rights", "355", "--master-pass", "M1pass", "--balance", "12.5"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  RecordingSender sender;

  Json::Value request;
  request["serial"] = "u-1";
  request["login"] = Json::UInt64(login);
  request["name"] = "New Name";
  request["leverage"] = 50;
  request["group"] = "real";
  request["city"] = "Hamburg";
  request["comment"] = "request note";
  request["groupType"] = 2;  // keeps the server's comment
  request["valid"] = 0;
  request["agent"] = 5;
  connected.manager.UpdateUser(request, &sender);
  EXPECT_EQ(sender.onlyReply()["code"].asInt(), 200);
  EXPECT_EQ(server.accountField(login, "name"), "New Name");
  EXPECT_EQ(server.accountField(login, "leverage"), "50");
  EXPECT_EQ(server.accountField(login, "group"), "real");
  EXPECT_EQ(server.accountField(login, "city"), "Hamburg");
  EXPECT_EQ(server.accountField(login, "comment"), "server note");
  EXPECT_EQ(server.accountField(login, "rights"), "359");
  EXPECT_EQ(server.accountField(login, "agent"), "5");
  // What the update does not carry stays as the server had it.
  EXPECT_EQ(server.accountField(login, "lead_source"), "fair");
  EXPECT_EQ(server.accountField(login, "balance"), "12.50");
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, login, L"M1pass"), mtret::Ok);

  request["groupType"] = 1;
  request["town"] = "Altona";
  request["valid"] = 1;
  connected.manager.UpdateUser(request, &sender);
  EXPECT_EQ(parse(sender.replies().back())["code"].asInt(), 200);
  EXPECT_EQ(server.accountField(login, "comment"), "request note");
  EXPECT_EQ(server.accountField(login, "city"), "Altona");
  EXPECT_EQ(server.accountField(login, "rights"), "355");

  // Unknown login: LoadAccount's code negated, nothing saved.
  server.armFault("SaveAccount", mtret::Error);
  const std::string accountsBefore = server.run({"account", "list"});
  request["login"] = 99999;
  connected.manager.UpdateUser(request, &sender);
  const Json::Value unknown = parse(sender.replies().back());
  EXPECT_EQ(unknown["code"].asInt(), -static_cast<int>(mtret::NotFound));
  EXPECT_EQ(unknown["data"]["login"].asUInt64(), 99999u);
  EXPECT_EQ(server.run({"account", "list"}), accountsBefore);
  EXPECT_NE(armedFaults(server).find("SaveAccount\tcode=2\tdelay_ms=0\tremaining=1"), std::string::npos);

  // The armed SaveAccount failure reaches the reply; then result 1 succeeds.
  request["login"] = Json::UInt64(login);
  request["name"] = "Not Saved";
  connected.manager.UpdateUser(request, &sender);
  EXPECT_EQ(parse(sender.replies().back())["code"].asInt(), -2);
  EXPECT_EQ(server.accountField(login, "name"), "New Name");
  server.armFault("SaveAccount", mtret::OkNone);
  connected.manager.UpdateUser(request, &sender);
  EXPECT_EQ(parse(sender.replies().back())["code"].asInt(), 200);
  EXPECT_EQ(sender.replies().size(), 5u);
}

TEST(AccountOperations, PasswordChangesByType) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--master-pass", "Start#1", "--investor-pass", "Look#1"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  RecordingSender sender;
  auto change = [&](int type, const char* masterPass, const char* newPass) {
    Json::Value request;
    request["serial"] = "p";
    request["login"] = Json::UInt64(login);
    request["type"] = type;
    request["masterPass"] = masterPass;
    request["newPass"] = newPass;
    connected.manager.UpdatePassWord(request, &sender);
    return parse(sender.replies().back());
  };

  // 1: master, after verifying the old master password.
  EXPECT_EQ(change(1, "Start#1", "Second#2")["code"].asInt(), 200);
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, login, L"Second#2"), mtret::Ok);
  EXPECT_EQ(change(1, "Start#1", "Never#0")["code"].asInt(), -static_cast<int>(mtret::WrongPassword));
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, login, L"Second#2"), mtret::Ok);

  // 2: master, without the old one.
  EXPECT_EQ(change(2, "", "Third#3")["code"].asInt(), 200);
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, login, L"Third#3"), mtret::Ok);

  // 3: investor, after verifying the master password.
  const Json::Value wrong = change(3, "Second#2", "Peek#9");
  EXPECT_EQ(wrong["code"].asInt(), -static_cast<int>(mtret::WrongPassword));
  EXPECT_EQ(wrong["msg"].asString(), "fail");
  EXPECT_EQ(server.verifyPassword(MT_PASS_INVESTOR, login, L"Look#1"), mtret::Ok);
  EXPECT_EQ(change(3, "Third#3", "Peek#9")["code"].asInt(), 200);
  EXPECT_EQ(server.verifyPassword(MT_PASS_INVESTOR, login, L"Peek#9"), mtret::Ok);
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, login, L"Third#3"), mtret::Ok);

  // Any other type names no password: -3, and the server is not called.
  server.armFault("VerifyPassword", mtret::Error);
  server.armFault("SetPassword", mtret::Error);
  const std::string armed = armedFaults(server);
  for (int type : {0, 4, -1}) {
    const Json::Value refused = change(type, "Third#3", "Other#5");
    EXPECT_EQ(refused["code"].asInt(), -3) << type;
    EXPECT_EQ(refused["data"]["type"].asInt(), type);
  }
  EXPECT_EQ(armedFaults(server), armed);
  server.run({"fault", "clear"});
  EXPECT_EQ(server.verifyPassword(MT_PASS_MAIN, login, L"Third#3"), mtret::Ok);

  // Result 1 counts as success for the verification and the change.
  server.armFault("VerifyPassword", mtret::OkNone);
  server.armFault("SetPassword", mtret::OkNone);
  EXPECT_EQ(change(1, "not checked", "Unused#1")["code"].asInt(), 200);
  server.armFault("SetPassword", mtret::Error);
  EXPECT_EQ(change(2, "", "Unused#1")["code"].asInt(), -2);

  // The reply echoes the request, passwords included, as received.
  EXPECT_EQ(sender.replies().back(),
            "{\"code\":-2,\"data\":{\"login\":" + std::to_string(login) +
                ",\"masterPass\":\"\",\"newPass\":\"Unused#1\",\"routeType\":\"\",\"serial\":\"p\",\"type\":2},"
                "\"msg\":\"fail\"}\n");
  EXPECT_EQ(sender.replies().size(), 10u);
}

TEST(AccountOperations, NoManagerRepliesMinusOneWithTheNullLine) {
  CManager manager;  // never started
  RecordingSender sender;
  Json::Value request;
  request["serial"] = "n";
  request["login"] = 1001;
  const std::pair<void (CManager::*)(Json::Value, ReplySender*, ChangeGate*), const char*> operations[] = {
      {&CManager::CreateUser, "CreateUser manager is null\n"},
      {&CManager::UpdateUser, "UpdateUser manager is null\n"},
      {&CManager::UpdatePassWord, "UpdatePassWord manager is null\n"},
      {&CManager::FinanceBalance, "FinanceBalance manager is null\n"},
  };
  for (const auto& [operation, line] : operations) {
    StdoutCapture console;
    (manager.*operation)(request, &sender, nullptr);
    EXPECT_EQ(console.text(), line);
    const Json::Value reply = parse(sender.replies().back());
    EXPECT_EQ(reply["code"].asInt(), -1);
    EXPECT_EQ(reply["msg"].asString(), "fail");
    EXPECT_EQ(reply["data"]["serial"].asString(), "n");
  }
  EXPECT_EQ(sender.replies().size(), 4u);
}

TEST(AccountOperations, WronglyTypedMemberRaisesBeforeAnyCallAndSendsNothing) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--balance", "50", "--master-pass", "Keep#1"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  for (const char* op : {"AddAccount", "LoadAccount", "VerifyPassword", "SetPassword", "PostBalanceDeal"}) {
    server.armFault(op, mtret::Error);
  }
  const std::string armed = armedFaults(server);
  RecordingSender sender;

  Json::Value badLogin;
  badLogin["login"] = std::to_string(login);  // a number sent as a string
  badLogin["type"] = 1;
  badLogin["amount"] = 10;
  Json::Value badType;
  badType["login"] = Json::UInt64(login);
  badType["type"] = "2";
  badType["amount"] = 10;
  Json::Value badArray;
  badArray["login"] = Json::UInt64(login);
  badArray["name"] = Json::Value(Json::arrayValue);
  badArray["comment"] = Json::Value(Json::objectValue);

  EXPECT_THROW(connected.manager.CreateUser(badLogin, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.CreateUser(badArray, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.UpdateUser(badLogin, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.UpdateUser(badArray, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.UpdatePassWord(badLogin, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.UpdatePassWord(badType, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.FinanceBalance(badLogin, &sender), Json::LogicError);
  EXPECT_THROW(connected.manager.FinanceBalance(badType, &sender), Json::LogicError);

  EXPECT_TRUE(sender.replies().empty());
  EXPECT_EQ(armedFaults(server), armed);
  EXPECT_EQ(server.balance(login), 50.0);
}
