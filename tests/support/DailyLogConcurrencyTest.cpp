// Many threads logging at once: every entry lands whole, on its own line,
// and each thread's entries keep their order.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/DailyLog.h"
#include "tests/support/TempWorkDir.h"

TEST(DailyLogConcurrency, ConcurrentWritersNeverInterleave) {
  TempWorkDir dir;
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  // A long payload makes a torn write visible.
  const std::string payload(3000, 'x');

  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &payload] {
      for (int i = 0; i < kEntries; ++i) writeLog("T%d #%d %s end\n", t, i, payload.c_str());
    });
  }
  for (auto& writer : writers) writer.join();

  std::string content;
  for (const auto& entry : std::filesystem::directory_iterator(dir.logDir()))
    content += TempWorkDir::readFile(entry.path());  // a date change mid-test splits the entries

  std::vector<int> next(kThreads, 0);
  std::istringstream lines(content);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_GT(line.size(), 20u) << "line " << count;
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + 20, "T%d #%d", &t, &i), 2) << line.substr(0, 60);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++) << "thread " << t;
    const std::string expectedTail = " " + payload + " end";
    ASSERT_GE(line.size(), expectedTail.size());
    EXPECT_EQ(line.compare(line.size() - expectedTail.size(), expectedTail.size(), expectedTail), 0);
  }
  EXPECT_EQ(count, kThreads * kEntries);
}
