// Balance and credit deals: one transaction each, exact sums, ids from 1;
// and the deal lookup that finds them again.
#include <algorithm>
#include <cmath>
#include <cwchar>
#include <limits>

#include "TestSupport.h"
#include "tradesim/WideText.h"

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
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
    sqlite::Statement query(db, (std::string("SELECT COUNT(*) FROM ") + table).c_str());
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
  uint64_t post(uint64_t login, double amount, uint32_t action, const wchar_t* comment) {
    uint64_t deal = 0;
    EXPECT_EQ(manager_->PostBalanceDeal(login, amount, action, comment, &deal), mtret::RequestDone);
    return deal;
  }
  // Deal times are the clock's; tests that need distinct ones set them.
  void setDealTime(uint64_t deal, int64_t timeMs) {
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
    sqlite::Statement(db, "UPDATE deals SET time = ? WHERE id = ?").bind(1, timeMs).bind(2, deal).run();
  }
  MTManagerDealRequest_t dealRequest() const {
    return reinterpret_cast<MTManagerDealRequest_t>(library_.symbol("MTManagerDealRequest"));
  }
  ManagerPtr manager_;
};

constexpr int64_t kAllTime = std::numeric_limits<int64_t>::max();

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
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
    db.exec("CREATE TRIGGER refuse_events BEFORE INSERT ON deal_events BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  uint64_t deal = 0;
  EXPECT_EQ(manager_->PostBalanceDeal(1001, 100, MT_DEAL_BALANCE, L"", &deal), mtret::Error);
  EXPECT_EQ(deal, 0u);
  EXPECT_EQ(count("deals"), 0);
  EXPECT_EQ(balance(1001), 30.0);
  {
    sqlite::Connection db(databasePath(), sqlite::Connection::Open::ReadWrite);
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

TEST_F(BalanceTest, DealLookupReportsTheLoginsDealsInTheRangeOldestFirst) {
  seedAccount(1002);
  const uint64_t deposit = post(1001, 100, MT_DEAL_BALANCE, L"Deposit");
  const uint64_t credit = post(1001, -50, MT_DEAL_CREDIT, L"Crédit ✓");
  const uint64_t other = post(1002, 7, MT_DEAL_BALANCE, L"Other login");
  const uint64_t last = post(1001, 1.25, MT_DEAL_BALANCE, std::wstring(100, L'x').c_str());
  const uint64_t late = post(1001, 2, MT_DEAL_BALANCE, L"Too late");
  const uint64_t early = post(1001, 3, MT_DEAL_BALANCE, L"Too early");
  // Posting order and time order differ: the credit is the oldest in range.
  setDealTime(deposit, 5000);
  setDealTime(credit, 3000);
  setDealTime(other, 4000);
  setDealTime(last, 7000);
  setDealTime(late, 7001);
  setDealTime(early, 2999);

  const auto lookUp = dealRequest();
  ASSERT_NE(lookUp, nullptr);
  MTDealRecord records[8] = {};
  uint32_t total = 0;
  ASSERT_EQ(lookUp(manager_.get(), 1001, 3000, 7000, records, 8, &total), mtret::Ok);
  ASSERT_EQ(total, 3u);
  EXPECT_EQ(records[0].deal, credit);
  EXPECT_EQ(records[0].login, 1001u);
  EXPECT_EQ(records[0].action, static_cast<uint32_t>(MT_DEAL_CREDIT));
  EXPECT_EQ(records[0].amount, -50.0);
  EXPECT_EQ(records[0].timeMs, 3000);
  EXPECT_EQ(std::wstring(records[0].comment), L"Crédit ✓");
  EXPECT_EQ(records[1].deal, deposit);
  EXPECT_EQ(records[1].action, static_cast<uint32_t>(MT_DEAL_BALANCE));
  EXPECT_EQ(records[1].amount, 100.0);
  EXPECT_EQ(records[1].timeMs, 5000);
  EXPECT_EQ(std::wstring(records[1].comment), L"Deposit");
  EXPECT_EQ(records[2].deal, last);
  EXPECT_EQ(records[2].amount, 1.25);
  EXPECT_EQ(std::wstring(records[2].comment), std::wstring(63, L'x'));  // cut, still terminated
  EXPECT_EQ(records[3].deal, 0u);

  ASSERT_EQ(lookUp(manager_.get(), 1001, 7002, 9000, records, 8, &total), mtret::Ok);
  EXPECT_EQ(total, 0u);
  ASSERT_EQ(lookUp(manager_.get(), 4242, 0, kAllTime, records, 8, &total), mtret::Ok);
  EXPECT_EQ(total, 0u);
  ASSERT_EQ(lookUp(manager_.get(), 1002, 4000, 4000, records, 8, &total), mtret::Ok);
  ASSERT_EQ(total, 1u);
  EXPECT_EQ(records[0].deal, other);
  EXPECT_EQ(records[0].login, 1002u);
}

TEST_F(BalanceTest, DealLookupReportsWhichManagerPostedEachDeal) {
  ASSERT_EQ(runTradesim({"manager", "add", "--login", "2000", "--password", "Other-2"}).status, 0);
  const uint64_t own = post(1001, 1, MT_DEAL_BALANCE, L"own session");
  ManagerPtr other = library_.create();
  ASSERT_EQ(other->OpenSession(kServer, 2000, L"Other-2", 0, 0, 0, 30000), mtret::Ok);
  uint64_t otherSession = 0;
  ASSERT_EQ(other->PostBalanceDeal(1001, 2, MT_DEAL_BALANCE, L"other session", &otherSession), mtret::RequestDone);
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "3", "--manager", "2000"}).out, "deal=3\n");
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "4"}).out, "deal=4\n");
  // A manager the server does not know posts nothing.
  const auto unknown = runTradesim({"deal", "add", "--login", "1001", "--amount", "5", "--manager", "3000"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("manager 3000 not found"), std::string::npos) << unknown.err;

  MTDealRecord records[5] = {};
  uint32_t total = 0;
  ASSERT_EQ(dealRequest()(manager_.get(), 1001, 0, kAllTime, records, 5, &total), mtret::Ok);
  ASSERT_EQ(total, 4u);
  EXPECT_EQ(records[0].deal, own);
  EXPECT_EQ(records[0].dealer, kManager);
  EXPECT_EQ(records[1].deal, otherSession);
  EXPECT_EQ(records[1].dealer, 2000u);
  EXPECT_EQ(records[2].deal, 3u);
  EXPECT_EQ(records[2].dealer, 2000u);
  EXPECT_EQ(records[3].deal, 4u);
  EXPECT_EQ(records[3].dealer, 0u);  // the server's own console

  // A failed log-in ends the session: nothing is posted under the old login.
  EXPECT_EQ(other->OpenSession(kServer, 2000, L"wrong", 0, 0, 0, 30000), mtret::AuthFailed);
  EXPECT_EQ(other->PostBalanceDeal(1001, 2, MT_DEAL_BALANCE, L"", &otherSession), mtret::NotConnected);
  // The event of a deal carries its manager too, and a change keeps it.
  ASSERT_EQ(runTradesim({"deal", "update", "2", "--amount", "2.5"}).status, 0);
  const auto events = store().eventsAfter(0, 10);
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].deal.manager, kManager);
  EXPECT_EQ(events[2].deal.manager, 2000u);
  EXPECT_EQ(events[3].deal.manager, 0u);
  EXPECT_EQ(events[4].kind, DealEventKind::Update);
  EXPECT_EQ(events[4].deal.manager, 2000u);
}

TEST_F(BalanceTest, DealLookupCutsLongCommentsAndStopsAtAnEmbeddedNul) {
  const std::wstring fits(MTDealCommentSize - 1, L'\u00E9');
  const uint64_t whole = post(1001, 1, MT_DEAL_BALANCE, fits.c_str());
  const uint64_t cut = post(1001, 1, MT_DEAL_BALANCE, (fits + L"\u4E2D").c_str());
  // The interface's comment is a C string; the store takes any text, as
  // another manager's tools may write it.
  const std::string withNul("ab\0cd", 5);
  uint64_t nul = 0;
  ASSERT_EQ(store().postBalanceDeal(1001, kMoneyScale, MT_DEAL_BALANCE, withNul, 0, nul), mtret::RequestDone);

  MTDealRecord records[3];
  std::fill_n(reinterpret_cast<unsigned char*>(records), sizeof(records), 0xAB);
  uint32_t total = 0;
  ASSERT_EQ(dealRequest()(manager_.get(), 1001, 0, kAllTime, records, 3, &total), mtret::Ok);
  ASSERT_EQ(total, 3u);
  EXPECT_EQ(records[0].deal, whole);
  EXPECT_EQ(std::wstring(records[0].comment), fits);
  EXPECT_EQ(records[1].deal, cut);
  EXPECT_EQ(std::wstring(records[1].comment), fits);
  EXPECT_EQ(records[1].comment[MTDealCommentSize - 1], L'\0');
  EXPECT_EQ(records[2].deal, nul);
  EXPECT_EQ(std::wstring(records[2].comment), L"ab");
  // The server keeps the whole texts.
  const auto deals = store().listDeals(1001);
  ASSERT_EQ(deals.size(), 3u);
  EXPECT_EQ(widen(deals[1].comment), fits + L"\u4E2D");
  EXPECT_EQ(deals[2].comment, withNul);
}

TEST_F(BalanceTest, DealLookupFillsWhatFitsAndCountsEveryMatch) {
  const uint64_t first = post(1001, 1, MT_DEAL_BALANCE, L"1");
  const uint64_t second = post(1001, 2, MT_DEAL_BALANCE, L"2");
  post(1001, 3, MT_DEAL_BALANCE, L"3");
  const auto lookUp = dealRequest();
  ASSERT_NE(lookUp, nullptr);
  uint32_t total = 99;
  ASSERT_EQ(lookUp(manager_.get(), 1001, 0, kAllTime, nullptr, 0, &total), mtret::Ok);
  EXPECT_EQ(total, 3u);

  MTDealRecord records[3] = {};
  records[2].deal = 77;
  total = 0;
  ASSERT_EQ(lookUp(manager_.get(), 1001, 0, kAllTime, records, 2, &total), mtret::Ok);
  EXPECT_EQ(total, 3u);
  EXPECT_EQ(records[0].deal, first);
  EXPECT_EQ(records[1].deal, second);
  EXPECT_EQ(records[2].deal, 77u);  // beyond the capacity: not written
}

TEST_F(BalanceTest, DealLookupRefusesBadArgumentsAndNeedsASession) {
  post(1001, 1, MT_DEAL_BALANCE, L"");
  const auto lookUp = dealRequest();
  ASSERT_NE(lookUp, nullptr);
  MTDealRecord record{};
  uint32_t total = 0;
  EXPECT_EQ(lookUp(manager_.get(), 1001, 0, kAllTime, &record, 1, nullptr), mtret::InvalidParams);
  EXPECT_EQ(lookUp(manager_.get(), 1001, 0, kAllTime, nullptr, 1, &total), mtret::InvalidParams);
  EXPECT_EQ(lookUp(manager_.get(), 1001, 10, 9, &record, 1, &total), mtret::InvalidParams);
  EXPECT_EQ(lookUp(nullptr, 1001, 0, kAllTime, &record, 1, &total), mtret::InvalidParams);
  EXPECT_EQ(record.deal, 0u);

  ManagerPtr loggedOut = library_.create();
  ASSERT_TRUE(loggedOut);
  EXPECT_EQ(lookUp(loggedOut.get(), 1001, 0, kAllTime, &record, 1, &total), mtret::NotConnected);
  EXPECT_EQ(record.deal, 0u);
}

}  // namespace
}  // namespace tradesim::test

namespace tradesim::test {
namespace {

TEST(StoreSettingsTest, CommitsAreSyncedUnlessRelaxedOnPurpose) {
  TempDir dir;
  const std::string path = dir.file("s.db");
  openDatabase(path, true);
  const auto synchronous = [&] {
    const auto db = openDatabase(path, false);
    sqlite::Statement query(*db, "PRAGMA synchronous");
    query.step();
    return query.int64(0);
  };
  const auto journalMode = [&] {
    const auto db = openDatabase(path, false);
    sqlite::Statement query(*db, "PRAGMA journal_mode");
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
