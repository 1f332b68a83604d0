// The bench's own logic, without a broker: percentiles, request kinds and
// their reply checks against replies built by the real request records,
// matching and counting in the reply tracker, the command line, the report.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/BenchOptions.h"
#include "bench/LatencyStats.h"
#include "bench/ReplyTracker.h"
#include "bench/RequestKinds.h"
#include "bench/RunReport.h"
#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"
#include "support/Json.h"

using namespace bench;

namespace {

BrokerSettings settings() {
  BrokerSettings s;
  s.requestQueues = {"c", "u", "p", "t"};
  s.callbackQueues = {"c.r", "u.r", "p.r", "t.r"};
  return s;
}

RequestTargets targets() {
  RequestTargets t;
  t.account = 20001;
  t.unknownLogin = 999;
  return t;
}

Json::Value parsed(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(parseJson(text, v)) << text;
  return v;
}

// The reply the real record builds for the request text, with `code`; for a
// deposit `order` is set as the balance operation would.
std::string realReply(RequestKind kind, const std::string& text, int32_t code, int64_t order = -1) {
  const Json::Value request = parsed(text);
  switch (queueOf(kind)) {
    case kCreateQueue:
      return UserRecordCreateRequest(request).BuildReply(code);
    case kUpdateQueue:
      return UserRecordUpdateRequest(request).BuildReply(code);
    case kPasswordQueue:
      return PasswordUpdateRequest(request).BuildReply(code);
    default: {
      TradeTransInfoRequest r(request);
      r.order = order;
      return r.BuildReply(code);
    }
  }
}

}  // namespace

TEST(LatencyStats, NearestRankPercentiles) {
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);
  const LatencySummary s = summarize(values);
  EXPECT_EQ(s.count, 100u);
  EXPECT_DOUBLE_EQ(s.p50, 50);
  EXPECT_DOUBLE_EQ(s.p90, 90);
  EXPECT_DOUBLE_EQ(s.p99, 99);
  EXPECT_DOUBLE_EQ(s.p999, 100);
  EXPECT_DOUBLE_EQ(s.max, 100);
  EXPECT_DOUBLE_EQ(s.mean, 50.5);
  EXPECT_DOUBLE_EQ(percentile({7}, 99.9), 7);
  EXPECT_EQ(summarize({}).count, 0u);
  EXPECT_DOUBLE_EQ(summarize({}).p99, 0);
}

TEST(RequestKinds, RequestsAreReadByTheRealRecordsAndCorrectRepliesPass) {
  const RequestTargets t = targets();
  for (int k = 0; k < kKindCount; ++k) {
    const auto kind = static_cast<RequestKind>(k);
    const std::string id = std::string("run-") + std::to_string(k);
    const std::string text = requestText(kind, id, t);
    EXPECT_EQ(kindFromName(kindName(kind)), kind);
    if (!expectsReply(kind)) {
      Json::Value ignored;
      EXPECT_FALSE(parseJson(text, ignored)) << "junk must not be JSON: " << text;
      EXPECT_TRUE(checkReply(kind, id, t, "{}").has_value());
      continue;
    }
    const int32_t code = expectedCode(kind);
    const std::string good = realReply(kind, text, code, kind == RequestKind::Deposit ? 42 : -1);
    EXPECT_EQ(checkReply(kind, id, t, good), std::nullopt) << kindName(kind) << ": " << good;
    // The same reply with another code, for another request, or cut short fails.
    EXPECT_TRUE(checkReply(kind, id, t, realReply(kind, text, code == 200 ? -1 : 200)).has_value()) << kindName(kind);
    EXPECT_TRUE(checkReply(kind, id + "x", t, good).has_value()) << kindName(kind);
    EXPECT_TRUE(checkReply(kind, id, t, good.substr(0, good.size() / 2)).has_value()) << kindName(kind);
  }
}

TEST(RequestKinds, BalanceReplyMustShowWhetherADealWasPosted) {
  const RequestTargets t = targets();
  const std::string deposit = requestText(RequestKind::Deposit, "d-1", t);
  EXPECT_TRUE(checkReply(RequestKind::Deposit, "d-1", t, realReply(RequestKind::Deposit, deposit, 200, -1)));
  const std::string refused = requestText(RequestKind::WithdrawRefused, "w-1", t);
  EXPECT_TRUE(
      checkReply(RequestKind::WithdrawRefused, "w-1", t, realReply(RequestKind::WithdrawRefused, refused, -1000, 77)));
  // A failure code allowed for a run with a failing trading server passes
  // only when the reply shows that nothing was posted.
  bool allowed = false;
  EXPECT_EQ(
      checkReply(RequestKind::Deposit, "d-1", t, realReply(RequestKind::Deposit, deposit, -2, -1), {-2}, &allowed),
      std::nullopt);
  EXPECT_TRUE(allowed);
  EXPECT_TRUE(checkReply(RequestKind::Deposit, "d-1", t, realReply(RequestKind::Deposit, deposit, -2, 9), {-2}));
  EXPECT_TRUE(checkReply(RequestKind::Deposit, "d-1", t, realReply(RequestKind::Deposit, deposit, -3, -1), {-2}));
  // The expected codes are the trading server's results, negated.
  EXPECT_EQ(expectedCode(RequestKind::DepositUnknown), -13);
  EXPECT_EQ(expectedCode(RequestKind::CreateExisting), -3001);
  EXPECT_EQ(expectedCode(RequestKind::PasswordWrong), -3006);
}

TEST(RequestMix, SpreadsKindsByWeightAndRejectsBadText) {
  const RequestMix mix("deposit=3,update=1");
  int deposits = 0;
  for (uint64_t i = 0; i < 400; ++i) deposits += mix.kindAt(i) == RequestKind::Deposit;
  EXPECT_EQ(deposits, 300);
  // Evenly spread: no four in a row of one kind.
  for (uint64_t i = 0; i < 8; ++i) {
    EXPECT_FALSE(mix.kindAt(i) == mix.kindAt(i + 1) && mix.kindAt(i + 1) == mix.kindAt(i + 2) &&
                 mix.kindAt(i + 2) == mix.kindAt(i + 3));
  }
  EXPECT_TRUE(mix.uses(RequestKind::Update));
  EXPECT_FALSE(mix.uses(RequestKind::Create));
  EXPECT_THROW(RequestMix("deposit=x"), std::invalid_argument);
  EXPECT_THROW(RequestMix("withdrawal"), std::invalid_argument);
  EXPECT_THROW(RequestMix("deposit=0"), std::invalid_argument);
  EXPECT_THROW(RequestMix(""), std::invalid_argument);
}

TEST(ReplyTracker, CountsAnsweredMissingDuplicatedWrongAndForeign) {
  const RequestTargets t = targets();
  ReplyTracker tracker("r1", t, settings(), CheckMode::Body, 6, 1);
  const auto now = ReplyTracker::Clock::now();
  const RequestKind kinds[] = {RequestKind::Deposit,        RequestKind::Deposit, RequestKind::Deposit,
                               RequestKind::DepositUnknown, RequestKind::Junk,    RequestKind::Deposit};
  for (uint64_t i = 0; i < 6; ++i) {
    tracker.sent(i, kinds[i], now);
    tracker.sendDone(i, i != 5, "connection lost");
  }
  EXPECT_EQ(tracker.inFlight(), 4u);  // junk (4) and the failed send (5) hold no slot

  auto reply = [&](uint64_t i, int32_t code, int64_t order) {
    return realReply(kinds[i], requestText(kinds[i], tracker.idOf(i), t), code, order);
  };
  tracker.reply("r1-0", "m0", "t.r", reply(0, 200, 5));
  tracker.reply("r1-0", "m0", "t.r", reply(0, 200, 5));   // redelivered: same message
  tracker.reply("r1-0", "m0b", "t.r", reply(0, 200, 5));  // a second reply
  tracker.reply("r1-1", "m1", "t.r", reply(1, -13, -1));  // wrong code
  tracker.reply("r1-4", "m4", "t.r", "{}");               // junk must get none
  tracker.reply("other-3", "m9", "t.r", "{}");            // another run
  tracker.reply("r1-3", "m3", "c.r", reply(3, -13, -1));  // wrong queue
  EXPECT_EQ(tracker.inFlight(), 1u);                      // 2 still waits
  EXPECT_FALSE(tracker.drain(std::chrono::milliseconds(50)));

  const RunCounts c = tracker.counts();
  EXPECT_EQ(c.sent, 6u);
  EXPECT_EQ(c.sendConfirmed, 5u);
  EXPECT_EQ(c.sendFailed, 1u);
  EXPECT_EQ(c.expected, 5u);
  EXPECT_EQ(c.answered, 3u);
  EXPECT_EQ(c.missing, 1u);
  EXPECT_EQ(c.lostAtSend, 1u);
  EXPECT_EQ(c.duplicated, 1u);
  EXPECT_EQ(c.wrongBody, 2u);
  EXPECT_EQ(c.unexpected, 1u);
  EXPECT_EQ(c.foreign, 1u);
  EXPECT_EQ(c.redelivered, 1u);
  EXPECT_FALSE(c.problems.empty());
  EXPECT_EQ(c.resent, 0u);
  // Request 0 is warm-up: only 1 and 3 are measured answers.
  EXPECT_EQ(tracker.latencies().size(), 2u);
}

TEST(ReplyTracker, WindowAndDrainWaitForReplies) {
  const RequestTargets t = targets();
  ReplyTracker tracker("w", t, settings(), CheckMode::Correlation, 2, 0);
  tracker.sent(0, RequestKind::Deposit, ReplyTracker::Clock::now());
  tracker.sent(1, RequestKind::Update, ReplyTracker::Clock::now());
  tracker.resending(1, "connection lost");  // a second copy goes out
  tracker.sendDone(1, true, "");
  std::thread replier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tracker.reply("w-0", "a", "t.r", "anything");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tracker.reply("w-1", "b", "u.r", "anything");
  });
  tracker.waitWindow(2);  // returns once one reply came
  EXPECT_LE(tracker.inFlight(), 1u);
  EXPECT_TRUE(tracker.drain(std::chrono::seconds(5)));
  replier.join();
  const RunCounts c = tracker.counts();
  EXPECT_EQ(c.answered, 2u);
  EXPECT_EQ(c.wrongBody, 0u);  // bodies are not checked against the echo
  EXPECT_EQ(c.resent, 1u);
  EXPECT_EQ(c.answeredResent, 1u);
  EXPECT_EQ(c.resentIds, std::vector<std::string>{"w-1"});
  EXPECT_EQ(tracker.inFlight(), 0u);
  EXPECT_GT(tracker.measuredSeconds(), 0.0);
}

TEST(BenchOptions, ParsesRunAndEchoAndNamesBadOptions) {
  const Command run = parseCommandLine({"--config", "c.ini", "--requests", "500", "--rate=250.5", "--mix",
                                        "deposit=2,junk=1", "--account", "7", "--drain", "1.5"});
  EXPECT_EQ(run.kind, Command::Kind::Run);
  EXPECT_EQ(run.run.requests, 500u);
  EXPECT_DOUBLE_EQ(run.run.rate, 250.5);
  EXPECT_EQ(run.run.targets.account, 7u);
  EXPECT_EQ(run.run.drainIdle.count(), 1500);

  const Command echo =
      parseCommandLine({"echo", "--config", "c.ini", "--pipeline", "on", "--prefetch", "32", "--work-ms", "1.5"});
  EXPECT_EQ(echo.echo.work.count(), 1500);
  EXPECT_EQ(echo.kind, Command::Kind::Echo);
  EXPECT_EQ(echo.echo.confirm, EchoConfirm::Pipelined);
  EXPECT_EQ(echo.echo.prefetch, 32u);

  auto message = [](std::vector<std::string> args) {
    try {
      parseCommandLine(args);
    } catch (const UsageError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(message({"--requests", "10"}).find("--config"), std::string::npos);
  EXPECT_NE(message({"--config", "c", "--window", "0"}).find("--window"), std::string::npos);
  EXPECT_NE(message({"--config", "c", "--mix", "deposit"}).find("--account"), std::string::npos);
  EXPECT_NE(message({"--config", "c", "--bogus", "1"}).find("--bogus"), std::string::npos);
  EXPECT_NE(message({"--config", "c", "--mix", "nope"}).find("nope"), std::string::npos);
  EXPECT_EQ(message({"--config", "c", "--mix", "create,deposit-unknown"}), "accepted");
}

TEST(QueueNames, ReadsTheServiceConfigAndNamesWhatIsMissing) {
  const std::string path = ::testing::TempDir() + "bench-config.ini";
  {
    std::ofstream out(path);
    out << "// comment\n{\"brokerURI\":\"tcp://127.0.0.1:1\",\"userRecordCreate\":\"a\",\"userRecordUpdate\":\"b\","
           "\"userRecordPasswordUpdate\":\"c\",\"tradeTransInfo\":\"d\",\"userRecordCreateCallback\":\"a.r\","
           "\"userRecordUpdateCallback\":\"b.r\",\"userRecordPasswordUpdateCallback\":\"c.r\","
           "\"tradeTransInfoCallback\":\"d.r\"}";
  }
  const BrokerSettings s = readBrokerSettings(path);
  EXPECT_EQ(s.brokerUri, "tcp://127.0.0.1:1");
  EXPECT_EQ(s.requestQueues[kTradeQueue], "d");
  EXPECT_EQ(callbackIndex(s, "c.r"), kPasswordQueue);
  EXPECT_EQ(callbackIndex(s, "zz"), -1);
  {
    std::ofstream out(path);
    out << "{\"userRecordCreate\":\"a\"}";
  }
  try {
    readBrokerSettings(path);
    FAIL() << "accepted a config without queues";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("userRecordCreateCallback"), std::string::npos) << e.what();
  }
  std::remove(path.c_str());
  EXPECT_THROW(readBrokerSettings(path), std::runtime_error);
}

TEST(RunReport, JsonAndTableCarryTheCountsAndFaultsAreFlagged) {
  RunResult r;
  r.options.label = "service";
  r.options.mix = "deposit";
  r.options.requests = 10;
  r.runId = "rid";
  r.counts.sent = 10;
  r.counts.expected = 10;
  r.counts.answered = 9;
  r.counts.missing = 1;
  r.counts.sentByKind[static_cast<int>(RequestKind::Deposit)] = 10;
  r.counts.answeredByKind[static_cast<int>(RequestKind::Deposit)] = 9;
  r.counts.resentIds = {"rid-3"};
  r.latency = summarize({1000, 2000, 3000});
  r.seconds = 2;
  r.throughput = 4.5;
  EXPECT_TRUE(r.faultsFound());

  const std::string path = ::testing::TempDir() + "bench-result.json";
  writeJsonFile(path, r);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const Json::Value json = parsed(text.str());
  EXPECT_EQ(json["label"].asString(), "service");
  EXPECT_EQ(json["loop"].asString(), "closed");
  EXPECT_EQ(json["counts"]["missing"].asUInt64(), 1u);
  EXPECT_EQ(json["kinds"]["deposit"]["answered"].asUInt64(), 9u);
  EXPECT_DOUBLE_EQ(json["latencyMs"]["p50"].asDouble(), 2.0);
  EXPECT_DOUBLE_EQ(json["throughput"].asDouble(), 4.5);
  EXPECT_EQ(json["resentIds"][0].asString(), "rid-3");
  std::remove(path.c_str());

  std::ostringstream table;
  printTable(table, r);
  EXPECT_NE(table.str().find("missing                 1 (drain timed out)"), std::string::npos) << table.str();
  EXPECT_NE(table.str().find("p50 2.000"), std::string::npos) << table.str();

  r.counts.missing = 0;
  EXPECT_FALSE(r.faultsFound());
  r.counts.duplicated = 1;
  EXPECT_TRUE(r.faultsFound());
  EXPECT_THROW(writeJsonFile("/nonexistent-dir/x.json", r), std::runtime_error);
}
