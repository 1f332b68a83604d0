// Account records: add, load, save and the two passwords.
#include <algorithm>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "tradesim/Journal.h"
#include "tradesim/WideText.h"

namespace tradesim::test {
namespace {

class AccountTest : public TradesimTest {
 protected:
  void SetUp() override {
    manager_ = connect();
    ASSERT_TRUE(manager_);
  }
  UserPtr newUser() { return UserPtr(manager_->NewUserRecord()); }
  MTAPIRES times(uint64_t login, MTAccountTimes& out) {
    const auto lookUp = reinterpret_cast<MTManagerAccountTimes_t>(library_.symbol("MTManagerAccountTimes"));
    return lookUp ? lookUp(manager_.get(), login, &out) : mtret::Error;
  }
  MTManagerAccountRequest_t accountRequest() const {
    return reinterpret_cast<MTManagerAccountRequest_t>(library_.symbol("MTManagerAccountRequest"));
  }
  // Registration times are the clock's; tests that need distinct ones set them.
  void setTimes(uint64_t login, int64_t registeredMs) {
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
    sqlite::Statement(db,
                      "UPDATE accounts SET registered_ms = ?1, master_changed_ms = ?1, investor_changed_ms = ?1 "
                      "WHERE login = ?2")
        .bind(1, registeredMs)
        .bind(2, login)
        .run();
  }
  ManagerPtr manager_;
};

void fill(IMTUser& user, const wchar_t* tag) {
  const std::wstring t = tag;
  user.Name((L"Name \u00E9 " + t).c_str());
  user.Group((L"group-" + t).c_str());
  user.Country((L"Country " + t).c_str());
  user.City((L"City " + t).c_str());
  user.ZIPCode((L"Zip " + t).c_str());
  user.Address((L"Street \u4E00 " + t).c_str());
  user.Phone((L"+49 " + t).c_str());
  user.EMail((t + L"@example.org").c_str());
  user.ID((L"ID-" + t).c_str());
  user.Comment((L"comment " + t).c_str());
  user.LeadSource((L"lead " + t).c_str());
  user.Agent(77);
  user.Rights(355);
  user.Leverage(100);
}

void expectFilled(const IMTUser& user, const wchar_t* tag) {
  const std::wstring t = tag;
  EXPECT_EQ(std::wstring(user.Name()), L"Name \u00E9 " + t);
  EXPECT_EQ(std::wstring(user.Group()), L"group-" + t);
  EXPECT_EQ(std::wstring(user.Country()), L"Country " + t);
  EXPECT_EQ(std::wstring(user.City()), L"City " + t);
  EXPECT_EQ(std::wstring(user.ZIPCode()), L"Zip " + t);
  EXPECT_EQ(std::wstring(user.Address()), L"Street \u4E00 " + t);
  EXPECT_EQ(std::wstring(user.Phone()), L"+49 " + t);
  EXPECT_EQ(std::wstring(user.EMail()), t + L"@example.org");
  EXPECT_EQ(std::wstring(user.ID()), L"ID-" + t);
  EXPECT_EQ(std::wstring(user.Comment()), L"comment " + t);
  EXPECT_EQ(std::wstring(user.LeadSource()), L"lead " + t);
}

TEST_F(AccountTest, AddLoadAndSaveKeepEveryAttribute) {
  UserPtr user = newUser();
  user->Login(6001);
  fill(*user, L"a");
  ASSERT_EQ(manager_->AddAccount(user.get(), L"Master-6001", L"Investor-6001"), mtret::Ok);
  EXPECT_EQ(manager_->AddAccount(user.get(), L"x", L"y"), mtret::AccountExists);

  UserPtr loaded = newUser();
  ASSERT_EQ(manager_->LoadAccount(6001, loaded.get()), mtret::Ok);
  EXPECT_EQ(loaded->Login(), 6001u);
  expectFilled(*loaded, L"a");
  EXPECT_EQ(loaded->Agent(), 77u);
  EXPECT_EQ(loaded->Rights(), 355u);
  EXPECT_EQ(loaded->Leverage(), 100u);
  EXPECT_EQ(loaded->Balance(), 0.0);
  EXPECT_EQ(loaded->Credit(), 0.0);

  // Money moved by deals survives a save; so do the passwords.
  uint64_t deal = 0;
  ASSERT_EQ(manager_->PostBalanceDeal(6001, 250.5, MT_DEAL_BALANCE, L"in", &deal), mtret::RequestDone);
  ASSERT_EQ(manager_->PostBalanceDeal(6001, 40, MT_DEAL_CREDIT, L"cr", &deal), mtret::RequestDone);
  fill(*loaded, L"b");
  loaded->Rights(359);
  ASSERT_EQ(manager_->SaveAccount(loaded.get()), mtret::Ok);
  UserPtr again = newUser();
  ASSERT_EQ(manager_->LoadAccount(6001, again.get()), mtret::Ok);
  expectFilled(*again, L"b");
  EXPECT_EQ(again->Rights(), 359u);
  EXPECT_EQ(again->Balance(), 250.5);
  EXPECT_EQ(again->Credit(), 40.0);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 6001, L"Master-6001"), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_INVESTOR, 6001, L"Investor-6001"), mtret::Ok);

  // A new record added on top of a loaded one starts without money.
  again->Login(6002);
  ASSERT_EQ(manager_->AddAccount(again.get(), L"m", L"i"), mtret::Ok);
  UserPtr copy = newUser();
  ASSERT_EQ(manager_->LoadAccount(6002, copy.get()), mtret::Ok);
  EXPECT_EQ(copy->Balance(), 0.0);
  EXPECT_EQ(copy->Credit(), 0.0);

  UserPtr unknown = newUser();
  unknown->Login(6999);
  EXPECT_EQ(manager_->SaveAccount(unknown.get()), mtret::NotFound);
  EXPECT_EQ(manager_->LoadAccount(6999, unknown.get()), mtret::NotFound);
  EXPECT_EQ(manager_->LoadAccount(6001, nullptr), mtret::InvalidParams);
  EXPECT_EQ(manager_->AddAccount(nullptr, L"m", L"i"), mtret::InvalidParams);
  EXPECT_EQ(manager_->AddAccount(unknown.get(), nullptr, L"i"), mtret::InvalidParams);
}

TEST_F(AccountTest, LoginZeroTakesTheNextFreeLogin) {
  seedAccount(7005);
  UserPtr first = newUser();
  fill(*first, L"auto");
  ASSERT_EQ(manager_->AddAccount(first.get(), L"m", L"i"), mtret::Ok);
  EXPECT_EQ(first->Login(), 7006u);
  UserPtr second = newUser();
  ASSERT_EQ(manager_->AddAccount(second.get(), L"m", L"i"), mtret::Ok);
  EXPECT_EQ(second->Login(), 7007u);
  UserPtr loaded = newUser();
  ASSERT_EQ(manager_->LoadAccount(7006, loaded.get()), mtret::Ok);
  expectFilled(*loaded, L"auto");
}

TEST_F(AccountTest, AddAccountRecordsWhenTheAccountWasRegistered) {
  UserPtr user = newUser();  // login 0: the server picks it
  fill(*user, L"t");
  const int64_t before = nowEpochMs();
  ASSERT_EQ(manager_->AddAccount(user.get(), L"m", L"i"), mtret::Ok);
  const int64_t after = nowEpochMs();
  EXPECT_EQ(user->Login(), 1000u);
  MTAccountTimes t{};
  ASSERT_EQ(times(user->Login(), t), mtret::Ok);
  EXPECT_EQ(t.login, user->Login());
  EXPECT_GE(t.registeredMs, before);
  EXPECT_LE(t.registeredMs, after);
  // Passwords never changed read as set at registration.
  EXPECT_EQ(t.masterPasswordChangedMs, t.registeredMs);
  EXPECT_EQ(t.investorPasswordChangedMs, t.registeredMs);
  AccountRecord stored;
  ASSERT_EQ(store().loadAccount(user->Login(), stored), mtret::Ok);
  EXPECT_EQ(stored.registeredMs, t.registeredMs);
  // Saving the account keeps its times.
  user->Name(L"renamed");
  ASSERT_EQ(manager_->SaveAccount(user.get()), mtret::Ok);
  MTAccountTimes again{};
  ASSERT_EQ(times(user->Login(), again), mtret::Ok);
  EXPECT_EQ(again.registeredMs, t.registeredMs);
  EXPECT_EQ(again.masterPasswordChangedMs, t.registeredMs);

  t.login = 77;
  EXPECT_EQ(times(4242, t), mtret::NotFound);
  EXPECT_EQ(t.login, 77u);
  const auto lookUp = reinterpret_cast<MTManagerAccountTimes_t>(library_.symbol("MTManagerAccountTimes"));
  EXPECT_EQ(lookUp(manager_.get(), user->Login(), nullptr), mtret::InvalidParams);
  EXPECT_EQ(lookUp(nullptr, user->Login(), &t), mtret::InvalidParams);
}

TEST_F(AccountTest, SetPasswordMovesOnlyThatKindsTime) {
  seedAccount(8101);
  setTimes(8101, 1000);
  const int64_t before = nowEpochMs();
  ASSERT_EQ(manager_->SetPassword(MT_PASS_MAIN, 8101, L"New-Master"), mtret::Ok);
  MTAccountTimes t{};
  ASSERT_EQ(times(8101, t), mtret::Ok);
  EXPECT_EQ(t.registeredMs, 1000);
  EXPECT_GE(t.masterPasswordChangedMs, before);
  EXPECT_LE(t.masterPasswordChangedMs, nowEpochMs());
  EXPECT_EQ(t.investorPasswordChangedMs, 1000);

  const int64_t masterChanged = t.masterPasswordChangedMs;
  ASSERT_EQ(manager_->SetPassword(MT_PASS_INVESTOR, 8101, L"New-Investor"), mtret::Ok);
  ASSERT_EQ(times(8101, t), mtret::Ok);
  EXPECT_EQ(t.registeredMs, 1000);
  EXPECT_EQ(t.masterPasswordChangedMs, masterChanged);
  EXPECT_GE(t.investorPasswordChangedMs, before);
  // A refused change moves nothing.
  setTimes(8101, 1000);
  EXPECT_EQ(manager_->SetPassword(7, 8101, L"x"), mtret::InvalidParams);
  ASSERT_EQ(times(8101, t), mtret::Ok);
  EXPECT_EQ(t.masterPasswordChangedMs, 1000);
  EXPECT_EQ(t.investorPasswordChangedMs, 1000);
}

TEST_F(AccountTest, AccountRequestListsTheRegistrationsInTheWindowOldestFirst) {
  for (const auto& [login, at] : std::vector<std::pair<uint64_t, int64_t>>{
           {1001, 5000}, {1002, 3000}, {1003, 5000}, {1004, 7001}, {1005, 2999}, {1006, 7000}}) {
    seedAccount(login);
    setTimes(login, at);
  }
  const auto lookUp = accountRequest();
  ASSERT_NE(lookUp, nullptr);
  MTAccountTimes found[6] = {};
  uint32_t total = 0;
  ASSERT_EQ(lookUp(manager_.get(), 3000, 7000, found, 6, &total), mtret::Ok);
  ASSERT_EQ(total, 4u);
  EXPECT_EQ(found[0].login, 1002u);
  EXPECT_EQ(found[0].registeredMs, 3000);
  EXPECT_EQ(found[1].login, 1001u);  // same time: by login
  EXPECT_EQ(found[2].login, 1003u);
  EXPECT_EQ(found[3].login, 1006u);
  EXPECT_EQ(found[3].registeredMs, 7000);
  EXPECT_EQ(found[3].masterPasswordChangedMs, 7000);
  EXPECT_EQ(found[4].login, 0u);

  // What fits is filled; every match is counted.
  found[1].login = 99;
  ASSERT_EQ(lookUp(manager_.get(), 0, 6000, found, 1, &total), mtret::Ok);
  EXPECT_EQ(total, 4u);
  EXPECT_EQ(found[0].login, 1005u);
  EXPECT_EQ(found[1].login, 99u);
  ASSERT_EQ(lookUp(manager_.get(), 0, 6000, nullptr, 0, &total), mtret::Ok);
  EXPECT_EQ(total, 4u);
  ASSERT_EQ(lookUp(manager_.get(), 7002, 9000, found, 6, &total), mtret::Ok);
  EXPECT_EQ(total, 0u);

  EXPECT_EQ(lookUp(manager_.get(), 10, 9, found, 6, &total), mtret::InvalidParams);
  EXPECT_EQ(lookUp(manager_.get(), 0, 9000, nullptr, 6, &total), mtret::InvalidParams);
  EXPECT_EQ(lookUp(manager_.get(), 0, 9000, found, 6, nullptr), mtret::InvalidParams);
  EXPECT_EQ(lookUp(nullptr, 0, 9000, found, 6, &total), mtret::InvalidParams);
}

TEST_F(AccountTest, PasswordsAreCheckedChangedAndNeverStoredInClear) {
  seedAccount(8001);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, L"Master-1"), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_INVESTOR, 8001, L"Investor-1"), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, L"Investor-1"), mtret::WrongPassword);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_INVESTOR, 8001, L"Master-1"), mtret::WrongPassword);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8999, L"Master-1"), mtret::NotFound);
  EXPECT_EQ(manager_->VerifyPassword(2, 8001, L"Master-1"), mtret::InvalidParams);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, nullptr), mtret::InvalidParams);

  const wchar_t* fresh = L"Fr\u00E9sh-Pass-\u4E2D";
  EXPECT_EQ(manager_->SetPassword(MT_PASS_MAIN, 8001, fresh), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, fresh), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, L"Master-1"), mtret::WrongPassword);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_INVESTOR, 8001, L"Investor-1"), mtret::Ok);
  EXPECT_EQ(manager_->SetPassword(MT_PASS_INVESTOR, 8001, L"Inv-2"), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_INVESTOR, 8001, L"Inv-2"), mtret::Ok);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, fresh), mtret::Ok);
  EXPECT_EQ(manager_->SetPassword(MT_PASS_MAIN, 8999, L"x"), mtret::NotFound);
  EXPECT_EQ(manager_->SetPassword(7, 8001, L"x"), mtret::InvalidParams);
  EXPECT_EQ(manager_->VerifyPassword(MT_PASS_MAIN, 8001, fresh), mtret::Ok);

  // No password, in any table, page or log of the database.
  manager_.reset();
  store_.reset();
  std::string bytes = readFile(databasePath()) + readFile(databasePath() + "-wal");
  for (const std::string& secret :
       std::vector<std::string>{"Mgr-Secret-1", "Master-1", "Investor-1", "Inv-2", narrow(fresh)}) {
    EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace tradesim::test
