// Deal events reach attached sinks on the library's thread, whichever
// process posted the deal, and those recorded while the session is down
// once it is open again; detach and release stop them for good.
#include <atomic>
#include <mutex>
#include <thread>

#include "TestSupport.h"

namespace tradesim::test {
namespace {

struct Seen {
  char kind;
  uint64_t deal;
  uint64_t login;
  uint32_t action;
  double profit;
  std::wstring comment;
  std::wstring text;
};

class RecordingSink : public IMTDealSink {
 public:
  void OnDealAdd(const IMTDeal* deal) override { record('a', deal); }
  void OnDealUpdate(const IMTDeal* deal) override { record('u', deal); }
  void OnDealDelete(const IMTDeal* deal) override { record('d', deal); }

  std::vector<Seen> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return seen_.size();
  }
  std::thread::id thread() {
    std::lock_guard lock(mutex_);
    return thread_;
  }

 protected:
  virtual void during(const IMTDeal*) {}

 private:
  void record(char kind, const IMTDeal* deal) {
    during(deal);
    wchar_t buffer[MTDealDescribeSize] = {};
    deal->Describe(buffer, MTDealDescribeSize);
    std::lock_guard lock(mutex_);
    thread_ = std::this_thread::get_id();
    seen_.push_back({kind, deal->Deal(), deal->Login(), deal->Action(), deal->Profit(), deal->Comment(), buffer});
  }
  std::mutex mutex_;
  std::vector<Seen> seen_;
  std::thread::id thread_;
};

class DealEventTest : public TradesimTest {
 protected:
  void SetUp() override {
    seedAccount(1001, "10");
    manager_ = connect();
    ASSERT_TRUE(manager_);
  }
  void post(double amount) {
    uint64_t deal = 0;
    ASSERT_EQ(manager_->PostBalanceDeal(1001, amount, MT_DEAL_BALANCE, L"", &deal), mtret::RequestDone);
  }
  ManagerPtr manager_;
};

TEST_F(DealEventTest, DealsOfAnotherProcessReachTheSink) {
  post(1);  // before the attach: never delivered
  RecordingSink sink;
  ASSERT_EQ(manager_->AttachDealSink(&sink), mtret::Ok);
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "100", "--comment", "Bonus \u00E9"}).status, 0);
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "5", "--action", "credit"}).status, 0);
  ASSERT_EQ(runTradesim({"deal", "update", "2", "--amount", "120.25"}).status, 0);
  ASSERT_EQ(runTradesim({"deal", "delete", "3"}).status, 0);
  post(-2);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 5; }));
  EXPECT_EQ(manager_->DetachDealSink(&sink), mtret::Ok);

  const auto seen = sink.seen();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].kind, 'a');
  EXPECT_EQ(seen[0].deal, 2u);
  EXPECT_EQ(seen[0].login, 1001u);
  EXPECT_EQ(seen[0].action, 2u);
  EXPECT_EQ(seen[0].profit, 100.0);
  EXPECT_EQ(seen[0].comment, L"Bonus \u00E9");
  EXPECT_EQ(seen[0].text, L"#2 login 1001 balance 100.00 'Bonus \u00E9'");
  EXPECT_EQ(seen[1].text, L"#3 login 1001 credit 5.00 ''");
  EXPECT_EQ(seen[2].kind, 'u');
  EXPECT_EQ(seen[2].text, L"#2 login 1001 balance 120.25 'Bonus \u00E9'");
  EXPECT_EQ(seen[3].kind, 'd');
  EXPECT_EQ(seen[3].deal, 3u);
  EXPECT_EQ(seen[4].kind, 'a');
  EXPECT_EQ(seen[4].deal, 4u);
  EXPECT_EQ(seen[4].profit, -2.0);
  EXPECT_NE(sink.thread(), std::this_thread::get_id());
}

// Stays inside its first notification until released.
class SlowSink : public RecordingSink {
 public:
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};

 protected:
  void during(const IMTDeal*) override {
    inside = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    inside = false;
  }
};

TEST_F(DealEventTest, DetachWaitsForARunningNotificationAndStopsLaterOnes) {
  SlowSink slow;
  RecordingSink witness;  // stays attached: shows that later events were delivered
  ASSERT_EQ(manager_->AttachDealSink(&slow), mtret::Ok);
  ASSERT_EQ(manager_->AttachDealSink(&slow), mtret::Ok);  // twice is still one subscription
  ASSERT_EQ(manager_->AttachDealSink(&witness), mtret::Ok);
  post(1);
  ASSERT_TRUE(eventually([&] { return slow.inside.load(); }));

  std::atomic<bool> detached{false};
  std::thread detacher([&] {
    EXPECT_EQ(manager_->DetachDealSink(&slow), mtret::Ok);
    detached = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(detached) << "detach returned while the notification was still running";
  slow.release = true;
  detacher.join();
  EXPECT_FALSE(slow.inside);
  EXPECT_EQ(slow.count(), 1u);

  post(2);
  post(3);
  ASSERT_TRUE(eventually([&] { return witness.count() == 3; }));
  EXPECT_EQ(slow.count(), 1u);
  EXPECT_EQ(manager_->DetachDealSink(&slow), mtret::NotFound);
  EXPECT_EQ(manager_->DetachDealSink(&witness), mtret::Ok);
  EXPECT_EQ(manager_->AttachDealSink(nullptr), mtret::InvalidParams);
}

class SelfDetachingSink : public RecordingSink {
 public:
  IMTManagerAPI* manager = nullptr;
  std::atomic<MTAPIRES> detachResult{999};

 protected:
  void during(const IMTDeal*) override { detachResult = manager->DetachDealSink(this); }
};

TEST_F(DealEventTest, ASinkMayDetachItselfAndReleaseEndsDelivery) {
  SelfDetachingSink self;
  self.manager = manager_.get();
  RecordingSink witness;
  ASSERT_EQ(manager_->AttachDealSink(&self), mtret::Ok);
  ASSERT_EQ(manager_->AttachDealSink(&witness), mtret::Ok);
  post(1);
  post(2);
  ASSERT_TRUE(eventually([&] { return witness.count() == 2; }));
  EXPECT_EQ(self.detachResult.load(), mtret::Ok);
  EXPECT_EQ(self.count(), 1u);

  // Release with a sink still attached: the thread stops, nothing more arrives.
  manager_.reset();
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "1"}).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(witness.count(), 2u);
}

TEST_F(DealEventTest, EventsWhileTheSessionIsDownArriveOnceItIsOpenAgain) {
  RecordingSink sink;
  ASSERT_EQ(manager_->AttachDealSink(&sink), mtret::Ok);
  post(1);
  ASSERT_TRUE(eventually([&] { return sink.count() == 1; }));
  ASSERT_EQ(runTradesim({"server", "stop"}).status, 0);
  uint64_t lost = 0;
  ASSERT_EQ(manager_->PostBalanceDeal(1001, 9, MT_DEAL_BALANCE, L"", &lost), mtret::Network);
  // The server's own console still posts; a sink attached meanwhile sees
  // what comes after its attach.
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "2"}).out, "deal=2\n");
  RecordingSink late;
  ASSERT_EQ(manager_->AttachDealSink(&late), mtret::Ok);
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "3"}).out, "deal=3\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sink.count(), 1u) << "delivered without a session";
  EXPECT_EQ(late.count(), 0u);

  ASSERT_EQ(runTradesim({"server", "start"}).status, 0);
  ASSERT_EQ(manager_->OpenSession(kServer, kManager, kManagerPassword, 0, 0, 0, 30000), mtret::Ok);
  post(4);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 4 && late.count() >= 2; }));
  const auto ids = [](const std::vector<Seen>& seen) {
    std::vector<uint64_t> out;
    for (const auto& s : seen) out.push_back(s.deal);
    return out;
  };
  EXPECT_EQ(ids(sink.seen()), (std::vector<uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(ids(late.seen()), (std::vector<uint64_t>{3, 4}));
  EXPECT_EQ(manager_->DetachDealSink(&late), mtret::Ok);
  EXPECT_EQ(manager_->DetachDealSink(&sink), mtret::Ok);
}

TEST(DealDescribeTest, DescribeIsBoundedAndTerminated) {
  TempDir dir;
  setenv("TRADESIM_DB", dir.file("d.db").c_str(), 1);
  auto store = Store::initialize(dir.file("d.db"), "s", 1, "p", false);
  AccountRecord account;
  account.login = 1001;
  ASSERT_EQ(store->addAccount(account, "m", "i"), mtret::Ok);
  ManagerLibrary library(TRADESIM_LIBRARY);
  ManagerPtr manager = library.create();
  ASSERT_EQ(manager->OpenSession(L"s", 1, L"p", 0, 0, 0, 1000), mtret::Ok);

  struct Sink : IMTDealSink {
    std::mutex mutex;
    std::vector<std::wstring> texts;
    std::wstring canary;
    void OnDealAdd(const IMTDeal* deal) override {
      wchar_t buffer[12];
      std::fill(std::begin(buffer), std::end(buffer), L'#');
      const wchar_t* returned = deal->Describe(buffer, 10);
      std::wstring empty(1, L'x');
      deal->Describe(empty.data(), 1);
      std::lock_guard lock(mutex);
      texts.push_back(returned == buffer ? std::wstring(buffer) : L"wrong buffer");
      canary = std::wstring(buffer + 10, 2) + empty;
      deal->Describe(nullptr, 5);  // must not crash
    }
  } sink;
  ASSERT_EQ(manager->AttachDealSink(&sink), mtret::Ok);
  uint64_t id = 0;
  ASSERT_EQ(manager->PostBalanceDeal(1001, 12345.5, MT_DEAL_BALANCE, L"a long comment", &id), mtret::RequestDone);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(sink.mutex);
    return !sink.texts.empty();
  }));
  EXPECT_EQ(manager->DetachDealSink(&sink), mtret::Ok);
  EXPECT_EQ(sink.texts[0], L"#1 login ");
  EXPECT_EQ(sink.canary, std::wstring(L"##") + L'\0');
}

}  // namespace
}  // namespace tradesim::test
