// Deal events reach the journal, including deals posted by another process.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "ManagerTestSupport.h"

using namespace mgrtest;

namespace {

std::string dealId(const std::string& commandOutput) {
  const auto at = commandOutput.find("deal=");
  EXPECT_NE(at, std::string::npos) << commandOutput;
  if (at == std::string::npos) return std::string();
  std::string id = commandOutput.substr(at + 5);
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
  return id;
}

// Journal lines of deal `id` with information type that end in `tail`.
int countLines(const std::string& journal, const std::string& id, const std::string& tail) {
  std::istringstream lines(journal);
  int n = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::string head = "\t0\tDeal: #" + id + " ";
    if (line.find(head) != std::string::npos && line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      ++n;
    }
  }
  return n;
}

}  // namespace

TEST(DealSink, EveryAddedUpdatedAndDeletedDealIsJournalled) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--balance", "100"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);

  // Posted by another process.
  const std::string id =
      dealId(server.run({"deal", "add", "--login", std::to_string(login), "--amount", "25", "--comment", "wire"}));
  EXPECT_TRUE(waitFor([&] { return countLines(server.journal(), id, " has been add") == 1; })) << server.journal();
  server.run({"deal", "update", id, "--amount", "30"});
  EXPECT_TRUE(waitFor([&] { return countLines(server.journal(), id, " has been  update") == 1; })) << server.journal();
  server.run({"deal", "delete", id});
  EXPECT_TRUE(waitFor([&] { return countLines(server.journal(), id, " has been deleted") == 1; })) << server.journal();

  // Posted through the manager itself.
  RecordingSender sender;
  Json::Value request;
  request["login"] = Json::UInt64(login);
  request["amount"] = 7.5;
  request["type"] = 1;
  connected.manager.FinanceBalance(request, &sender);
  const std::string own = std::to_string(sender.onlyReply()["data"]["order"].asInt64());
  EXPECT_TRUE(waitFor([&] { return countLines(server.journal(), own, " has been add") == 1; })) << server.journal();
  // The deal's own text is in the line, with no line break of ours.
  EXPECT_NE(server.journal().find("Deal: #" + own + " login " + std::to_string(login)), std::string::npos);

  // No deal object: nothing is written.
  const std::string before = server.journal();
  connected.manager.OnDealAdd(nullptr);
  connected.manager.OnDealUpdate(nullptr);
  connected.manager.OnDealDelete(nullptr);
  EXPECT_EQ(server.journal(), before);
}

TEST(DealSink, NothingArrivesAfterShutdown) {
  TradeServer server;
  const uint64_t login = server.addAccount({"--balance", "100"});
  ConnectedManager connected(server);
  ASSERT_TRUE(connected.started);
  const std::string first = dealId(server.run({"deal", "add", "--login", std::to_string(login), "--amount", "1"}));
  ASSERT_TRUE(waitFor([&] { return countLines(server.journal(), first, " has been add") == 1; }));

  connected.manager.Shutdown();
  const std::string later = dealId(server.run({"deal", "add", "--login", std::to_string(login), "--amount", "2"}));
  // The event table is followed every few milliseconds; half a second is
  // many rounds.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(countLines(server.journal(), later, " has been add"), 0) << server.journal();
  EXPECT_EQ(countLines(server.journal(), first, " has been add"), 1);
}
