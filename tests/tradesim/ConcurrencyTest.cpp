// Several threads, two manager objects and another process post at once:
// every deal lands once, balances are exact, every event reaches the sink.
#include <mutex>
#include <set>
#include <thread>

#include "TestSupport.h"

namespace tradesim::test {
namespace {

class CollectingSink : public IMTDealSink {
 public:
  void OnDealAdd(const IMTDeal* deal) override {
    std::lock_guard lock(mutex_);
    ids_.push_back(deal->Deal());
  }
  std::vector<uint64_t> ids() {
    std::lock_guard lock(mutex_);
    return ids_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint64_t> ids_;
};

class ConcurrencyTest : public TradesimTest {};

TEST_F(ConcurrencyTest, ConcurrentPostsAreAllCountedOnce) {
  seedAccount(1001, "1000");
  seedAccount(1002, "0", "500");
  ManagerPtr first = connect();
  ManagerPtr second = connect();
  CollectingSink sink;
  ASSERT_EQ(first->AttachDealSink(&sink), mtret::Ok);

  constexpr int kThreads = 4;
  constexpr int kPosts = 25;
  std::mutex idsMutex;
  std::vector<uint64_t> ids;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      IMTManagerAPI* manager = t % 2 ? first.get() : second.get();
      for (int i = 0; i < kPosts; ++i) {
        uint64_t id = 0;
        // Deposits of 1.25 on the balance of 1001, -0.75 on the credit of 1002.
        const bool credit = (i % 2) == 1;
        const MTAPIRES result = manager->PostBalanceDeal(credit ? 1002 : 1001, credit ? -0.75 : 1.25,
                                                         credit ? MT_DEAL_CREDIT : MT_DEAL_BALANCE, L"load", &id);
        EXPECT_EQ(result, mtret::RequestDone);
        std::lock_guard lock(idsMutex);
        ids.push_back(id);
      }
    });
  }
  // Meanwhile another process posts too.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "10"}).status, 0);
  }
  for (auto& thread : threads) thread.join();

  constexpr int kBalancePosts = kThreads * ((kPosts + 1) / 2);
  constexpr int kCreditPosts = kThreads * (kPosts / 2);
  AccountRecord a, b;
  ASSERT_EQ(store().loadAccount(1001, a), mtret::Ok);
  ASSERT_EQ(store().loadAccount(1002, b), mtret::Ok);
  EXPECT_EQ(a.balance, *parseMoney("1000") + kBalancePosts * *parseMoney("1.25") + 3 * *parseMoney("10"));
  EXPECT_EQ(b.credit, *parseMoney("500") - kCreditPosts * *parseMoney("0.75"));

  const std::set<uint64_t> unique(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), ids.size());
  EXPECT_EQ(store().listDeals(std::nullopt).size(), ids.size() + 3);

  const size_t total = ids.size() + 3;
  ASSERT_TRUE(eventually([&] { return sink.ids().size() >= total; }));
  EXPECT_EQ(first->DetachDealSink(&sink), mtret::Ok);
  auto delivered = sink.ids();
  EXPECT_EQ(delivered.size(), total);
  // In order of the event sequence, each deal once.
  EXPECT_TRUE(std::is_sorted(delivered.begin(), delivered.end()));
  EXPECT_EQ(std::set<uint64_t>(delivered.begin(), delivered.end()).size(), total);
}

TEST_F(ConcurrencyTest, ConcurrentAccountCreationTakesDistinctLogins) {
  ManagerPtr manager = connect();
  constexpr int kThreads = 4;
  constexpr int kAccounts = 10;
  std::mutex loginsMutex;
  std::set<uint64_t> logins;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kAccounts; ++i) {
        UserPtr user(manager->NewUserRecord());
        user->Name(L"parallel");
        EXPECT_EQ(manager->AddAccount(user.get(), L"m", L"i"), mtret::Ok);
        std::lock_guard lock(loginsMutex);
        logins.insert(user->Login());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(logins.size(), static_cast<size_t>(kThreads * kAccounts));
  EXPECT_EQ(store().listAccounts().size(), static_cast<size_t>(kThreads * kAccounts));
}

}  // namespace
}  // namespace tradesim::test
