// The metrics registry and its Prometheus text.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/Metrics.h"

namespace {

// The value of the one line that starts with series followed by a blank;
// "" when there is none.
std::string valueOf(const std::string& text, const std::string& series) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(series + " ", 0) == 0) return line.substr(series.size() + 1);
  }
  return "";
}

}  // namespace

TEST(Metrics, CountsPerQueueAndOutcome) {
  Metrics m;
  m.addQueue("q.idle");
  for (int i = 0; i < 3; ++i) m.requestReceived("q.trade");
  m.replySent("q.trade", true);
  m.replySent("q.trade", true);
  m.replySent("q.trade", false);
  m.requestDropped("q.create");
  m.replyResent("q.trade");
  m.replyReplayed("q.trade");
  m.requestInDoubt("q.trade");
  const std::string text = m.renderPrometheus();

  EXPECT_EQ(valueOf(text, R"(mqbridge_requests_received_total{queue="q.trade"})"), "3");
  EXPECT_EQ(valueOf(text, R"(mqbridge_requests_received_total{queue="q.idle"})"), "0");
  EXPECT_EQ(valueOf(text, R"(mqbridge_replies_sent_total{queue="q.trade",outcome="success"})"), "2");
  EXPECT_EQ(valueOf(text, R"(mqbridge_replies_sent_total{queue="q.trade",outcome="failure"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_requests_dropped_total{queue="q.create"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_requests_dropped_total{queue="q.trade"})"), "0");
  EXPECT_EQ(valueOf(text, R"(mqbridge_replies_resent_total{queue="q.trade"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_replies_replayed_total{queue="q.trade"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_requests_in_doubt_total{queue="q.trade"})"), "1");
  EXPECT_NE(text.find("# TYPE mqbridge_requests_received_total counter\n"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

TEST(Metrics, HistogramBucketsAreCumulative) {
  Metrics m;
  m.observeTradingServer("q", 0.0004);  // first bucket
  m.observeTradingServer("q", 0.003);   // le 0.005
  m.observeTradingServer("q", 0.005);   // le 0.005: the bound is inclusive
  m.observeTradingServer("q", 60);      // only +Inf
  m.observeConfirmation("q", 0.02);
  const std::string text = m.renderPrometheus();

  EXPECT_NE(text.find("# TYPE mqbridge_trading_server_seconds histogram\n"), std::string::npos);
  EXPECT_EQ(valueOf(text, R"(mqbridge_trading_server_seconds_bucket{queue="q",le="0.0005"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_trading_server_seconds_bucket{queue="q",le="0.0025"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_trading_server_seconds_bucket{queue="q",le="0.005"})"), "3");
  EXPECT_EQ(valueOf(text, R"(mqbridge_trading_server_seconds_bucket{queue="q",le="10"})"), "3");
  EXPECT_EQ(valueOf(text, R"(mqbridge_trading_server_seconds_bucket{queue="q",le="+Inf"})"), "4");
  EXPECT_EQ(valueOf(text, R"(mqbridge_trading_server_seconds_count{queue="q"})"), "4");
  EXPECT_DOUBLE_EQ(std::stod(valueOf(text, R"(mqbridge_trading_server_seconds_sum{queue="q"})")), 60.0084);
  EXPECT_EQ(valueOf(text, R"(mqbridge_reply_confirmation_seconds_bucket{queue="q",le="0.01"})"), "0");
  EXPECT_EQ(valueOf(text, R"(mqbridge_reply_confirmation_seconds_bucket{queue="q",le="0.025"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_reply_confirmation_seconds_count{queue="q"})"), "1");
}

TEST(Metrics, ConnectionsJournalAndProcess) {
  Metrics m;
  m.connectionUp("q.in", true);
  m.connectionUp("q.out", true);
  m.connectionUp("q.out", false);
  m.connectionReconnected("q.in");
  m.connectionReconnected("q.in");
  std::string text = m.renderPrometheus();
  EXPECT_EQ(valueOf(text, R"(mqbridge_broker_connection_up{queue="q.in"})"), "1");
  EXPECT_EQ(valueOf(text, R"(mqbridge_broker_connection_up{queue="q.out"})"), "0");
  EXPECT_EQ(valueOf(text, R"(mqbridge_broker_reconnects_total{queue="q.in"})"), "2");
  const auto all = m.connections();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], std::make_pair(std::string("q.in"), true));
  EXPECT_EQ(all[1], std::make_pair(std::string("q.out"), false));

  // Without a journal its gauges are left out rather than shown as zero.
  EXPECT_EQ(text.find("mqbridge_journal_"), std::string::npos);
  m.setJournalCounts([] { return JournalCounts{4, 1}; });
  text = m.renderPrometheus();
  EXPECT_EQ(valueOf(text, "mqbridge_journal_unconfirmed_replies"), "4");
  EXPECT_EQ(valueOf(text, "mqbridge_journal_in_doubt_requests"), "1");

  EXPECT_GT(std::stod(valueOf(text, "process_start_time_seconds")), 1.6e9);
  EXPECT_EQ(valueOf(text, std::string("mqbridge_build_info{version=\"") + serviceVersion() + "\"}"), "1");
  EXPECT_STRNE(serviceVersion(), "unknown");
}

TEST(Metrics, LabelValuesAreEscaped) {
  Metrics m;
  m.requestReceived("a\"b\\c\nd");
  EXPECT_EQ(valueOf(m.renderPrometheus(), R"(mqbridge_requests_received_total{queue="a\"b\\c\nd"})"), "1");
}
