// The registry under the four delivery threads and a scraper at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/Metrics.h"

TEST(MetricsConcurrency, EveryEventOfEveryThreadIsCounted) {
  Metrics m;
  constexpr int kThreads = 4;
  constexpr int kEvents = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      const std::string queue = t % 2 ? "q.odd" : "q.even";
      for (int i = 0; i < kEvents; ++i) {
        m.requestReceived(queue);
        m.replySent(queue, i % 4 != 0);
        m.observeTradingServer(queue, 0.001 * (i % 7));
        m.connectionUp(queue, i % 2 == 0);
      }
    });
  }
  std::thread scraper([&m] {
    for (int i = 0; i < 50; ++i) (void)m.renderPrometheus();
  });
  for (auto& t : threads) t.join();
  scraper.join();

  const std::string text = m.renderPrometheus();
  for (const char* queue : {"q.odd", "q.even"}) {
    const std::string q = std::string("{queue=\"") + queue + "\"";
    EXPECT_NE(text.find("mqbridge_requests_received_total" + q + "} 4000\n"), std::string::npos) << queue;
    EXPECT_NE(text.find("mqbridge_replies_sent_total" + q + ",outcome=\"success\"} 3000\n"), std::string::npos);
    EXPECT_NE(text.find("mqbridge_replies_sent_total" + q + ",outcome=\"failure\"} 1000\n"), std::string::npos);
    EXPECT_NE(text.find("mqbridge_trading_server_seconds_count" + q + "} 4000\n"), std::string::npos);
  }
}
