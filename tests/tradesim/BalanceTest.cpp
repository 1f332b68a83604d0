// Balance and credit deals: one transaction each, exact sums, ids from 1.
#include <cmath>
#include <limits>

#include "TestSupport.h"

namespace tradesim::test {
namespace {

class BalanceTest : public TradesimTest {
 protected:
  void SetUp() override {
    seedAccount(1001, "30", "50");
    manager_ = connect();
    ASSERT_TRUE(manager_);
  }
  int64_t count(const char* table) {
    Connection db(databasePath(), false);
    Statement query(db, (std::string("SELECT COUNT(*) FROM ") + table).c_str());
    query.step();
    return query.int64(0);
  }
  double balance(uint64_t login) {
    UserPtr user(manager_->NewUserRecord());
    EXPECT_EQ(manager_->LoadAccount(login, user.get()), mtret::Ok);
    return user->Balance();
  }
  double credit(uint64_t login) {
    UserPtr user(manager_->NewUserRecord());
    EXPECT_EQ(manager_->LoadAccount(login, user.get()), mtret::Ok);
    return user->Credit();
  }
  ManagerPtr manager_;
};

TEST_F(BalanceTest, DealsMoveBalanceOrCreditAndAreRecordedWithTheirEvents) {
  uint64_t deal = 0;
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 100, MT_DEAL_BALANCE, L"Deposit", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 1u);
  EXPECT_EQ(balance(1001), 130.0);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, -50, MT_DEAL_CREDIT, L"Credit off", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 2u);
  EXPECT_EQ(credit(1001), 0.0);
  EXPECT_EQ(balance(1001), 130.0);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, -130, MT_DEAL_BALANCE, L"Withdraw", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 3u);
  EXPECT_EQ(balance(1001), 0.0);

  const auto deals = store().listDeals(1001);
  ASSERT_EQ(deals.size(), 3u);
  EXPECT_EQ(deals[1].action, 3u);
  EXPECT_EQ(deals[1].amount, -50 * kMoneyScale);
  EXPECT_EQ(deals[1].comment, "Credit off");
  const auto events = store().eventsAfter(0, 10);
  ASSERT_EQ(events.size(), 3u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, DealEventKind::Add);
    EXPECT_EQ(events[i].deal.id, deals[i].id);
    EXPECT_EQ(events[i].deal.amount, deals[i].amount);
  }
}

TEST_F(BalanceTest, RefusedDealsChangeNothing) {
  uint64_t deal = 99;
  EXPECT_EQ(manager_->PostBalanceDeal(4242, 10, MT_DEAL_BALANCE, L"", &deal), mtret::NotFound);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 10, 4, L"", &deal), mtret::InvalidParams);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 10, 0, L"", &deal), mtret::InvalidParams);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, std::nan(""), MT_DEAL_BALANCE, L"", &deal), mtret::InvalidParams);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, std::numeric_limits<double>::infinity(), MT_DEAL_BALANCE, L"", &deal),
            mtret::InvalidParams);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 1e12, MT_DEAL_BALANCE, L"", &deal), mtret::InvalidParams);
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 10, MT_DEAL_BALANCE, L"", nullptr), mtret::InvalidParams);
  EXPECT_EQ(deal, 99u);
  EXPECT_EQ(count("deals"), 0);
  EXPECT_EQ(count("deal_events"), 0);
  EXPECT_EQ(balance(1001), 30.0);
  EXPECT_EQ(credit(1001), 50.0);
}

TEST_F(BalanceTest, ADealIsOneTransaction) {
  // Make the event insert fail: the deal and the balance change must go too.
  {
    Connection db(databasePath(), false);
    db.exec("CREATE TRIGGER refuse_events BEFORE INSERT ON deal_events BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  uint64_t deal = 0;
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 100, MT_DEAL_BALANCE, L"", &deal), mtret::Error);
  EXPECT_EQ(deal, 0u);
  EXPECT_EQ(count("deals"), 0);
  EXPECT_EQ(balance(1001), 30.0);
  {
    Connection db(databasePath(), false);
    db.exec("DROP TRIGGER refuse_events");
  }
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 100, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
  EXPECT_EQ(deal, 1u);
  EXPECT_EQ(balance(1001), 130.0);
}

TEST_F(BalanceTest, SumsAreExact) {
  uint64_t deal = 0;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(manager_->PostBalanceDeal(1001, 0.1, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
    ASSERT_EQ(manager_->PostBalanceDeal(1001, 0.2, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
  }
  EXPECT_EQ(balance(1001), 33.0);
  const auto show = runTradesim({"account", "show", "1001"});
  EXPECT_NE(show.out.find("\nbalance=33.00\n"), std::string::npos) << show.out;
}

}  // namespace
}  // namespace tradesim::test

namespace tradesim::test {
namespace {

TEST(StoreSettingsTest, CommitsAreSyncedUnlessRelaxedOnPurpose) {
  TempDir dir;
  const std::string path = dir.file("s.db");
  { Connection create(path, true); }
  const auto synchronous = [&] {
    Connection db(path, false);
    Statement query(db, "PRAGMA synchronous");
    query.step();
    return query.int64(0);
  };
  const auto journalMode = [&] {
    Connection db(path, false);
    Statement query(db, "PRAGMA journal_mode");
    query.step();
    return query.text(0);
  };
  unsetenv("TRADESIM_SYNC");
  EXPECT_EQ(synchronous(), 2);  // FULL
  setenv("TRADESIM_SYNC", "normal", 1);
  EXPECT_EQ(synchronous(), 1);  // NORMAL
  setenv("TRADESIM_SYNC", "sometimes", 1);
  EXPECT_EQ(synchronous(), 2);
  unsetenv("TRADESIM_SYNC");
  EXPECT_EQ(journalMode(), "wal");
}

}  // namespace
}  // namespace tradesim::test
