// The journal: one timestamped UTF-8 line per entry, wide "%s", and writers
// in several threads and processes that never interleave.
#include <cstdlib>
#include <sstream>
#include <thread>

#include "TestSupport.h"

namespace tradesim::test {
namespace {

class JournalTest : public TradesimTest {};

// "YYYY-MM-DD HH:MM:SS.mmm" and a tab.
bool startsWithTimestamp(const std::string& line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd\t";
  if (line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

TEST_F(JournalTest, EntriesAreTimestampedLinesWithWideStrings) {
  ManagerPtr manager = library_.create();  // no session needed
  ASSERT_TRUE(manager);
  EXPECT_EQ(
      manager->WriteJournal(MT_JOURNAL_INFO, L"Deal: %s has been  update", L"#7 login 1001 'D\u00E9p\u00F4t \u20AC'"),
      mtret::Ok);
  EXPECT_EQ(manager->WriteJournal(MT_JOURNAL_ERROR, L"Connection failed (%u)", 1102u), mtret::Ok);
  EXPECT_EQ(manager->WriteJournal(MT_JOURNAL_INFO, L"two\nlines\tand tab %s", L"x\r\ny"), mtret::Ok);
  EXPECT_EQ(manager->WriteJournal(MT_JOURNAL_INFO, nullptr), mtret::InvalidParams);

  const auto written = lines(readFile(journalPath()));
  ASSERT_EQ(written.size(), 3u);
  for (const auto& line : written) EXPECT_TRUE(startsWithTimestamp(line)) << line;
  EXPECT_EQ(written[0].substr(24), "0\tDeal: #7 login 1001 'D\u00E9p\u00F4t \u20AC' has been  update");
  EXPECT_EQ(written[1].substr(24), "2\tConnection failed (1102)");
  EXPECT_EQ(written[2].substr(24), "0\ttwo lines and tab x  y");

  // The command prints the same journal.
  EXPECT_EQ(runTradesim({"journal"}).out, readFile(journalPath()));
}

TEST_F(JournalTest, EnvironmentChoosesTheJournalFile) {
  const std::string elsewhere = dir_.file("elsewhere.log");
  setenv("TRADESIM_JOURNAL", elsewhere.c_str(), 1);
  ManagerPtr manager = library_.create();
  EXPECT_EQ(manager->WriteJournal(MT_JOURNAL_INFO, L"here %s", L"it is"), mtret::Ok);
  EXPECT_NE(readFile(elsewhere).find("\t0\there it is\n"), std::string::npos);
  EXPECT_EQ(readFile(journalPath()), "");
  EXPECT_EQ(runTradesim({"journal"}).out, readFile(elsewhere));
  unsetenv("TRADESIM_JOURNAL");

  setenv("TRADESIM_JOURNAL", dir_.file("no/such/dir/j.log").c_str(), 1);
  ManagerPtr broken = library_.create();
  EXPECT_EQ(broken->WriteJournal(MT_JOURNAL_INFO, L"lost"), mtret::Error);
  unsetenv("TRADESIM_JOURNAL");
}

TEST_F(JournalTest, ConcurrentWritersNeverInterleave) {
  ManagerPtr first = library_.create();
  ManagerPtr second = library_.create();
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      IMTManagerAPI* manager = t % 2 ? first.get() : second.get();
      // Long enough that a torn write would show.
      const std::wstring body(3000, static_cast<wchar_t>(L'a' + t));
      for (int i = 0; i < kLines; ++i) manager->WriteJournal(MT_JOURNAL_INFO, L"%d %d %s", t, i, body.c_str());
    });
  }
  for (auto& thread : threads) thread.join();

  const auto written = lines(readFile(journalPath()));
  ASSERT_EQ(written.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& line : written) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + 26, "%d %d", &t, &i), 2) << line.substr(0, 40);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++);  // each writer's lines in its own order
    const std::string body = line.substr(line.rfind(' ') + 1);
    EXPECT_EQ(body, std::string(3000, static_cast<char>('a' + t)));
  }
}

}  // namespace
}  // namespace tradesim::test
