// The daily log writer: file naming, entry layout, append order, failures.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/DailyLog.h"
#include "tests/support/TempWorkDir.h"

namespace {

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

std::string todaysFileName() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char name[64];
  std::snprintf(name, sizeof name, "log-%04d-%02d-%02d.log", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return name;
}

}  // namespace

TEST(DailyLog, CreatesTheDirectoryAndAppendsTimestampedEntriesInOrder) {
  TempWorkDir dir;
  ASSERT_FALSE(std::filesystem::exists(dir.logDir()));

  EXPECT_EQ(writeLog("init success\n"), 13);
  const std::string received = "destURI #q1 Received: {\n\"a\":1}\n";
  EXPECT_EQ(writeLog("destURI #%s Received: %s\n", "q1", "{\n\"a\":1}"), static_cast<int>(received.size()));
  ASSERT_TRUE(std::filesystem::is_directory(dir.logDir()));

  const std::string name = todaysFileName();
  const std::string content = TempWorkDir::readFile(dir.logDir() / name);
  // "YYYY-MM-DD hh:mm:ss " then the message; a line break inside the message
  // continues without a timestamp.
  const std::string date = name.substr(4, 10);
  ASSERT_EQ(content.size(), 2 * 20 + 13 + received.size()) << content;
  EXPECT_EQ(content.substr(0, 11), date + " ");
  EXPECT_EQ(content.substr(13, 1), ":");
  EXPECT_EQ(content.substr(19, 14), " init success\n");
  EXPECT_EQ(content.substr(33, 11), date + " ");
  EXPECT_EQ(content.substr(52), " " + received);

  // The file may vanish while the service runs: the next entry recreates it.
  std::filesystem::remove_all(dir.logDir());
  EXPECT_EQ(writeLog("again\n"), 6);
  EXPECT_EQ(TempWorkDir::readFile(dir.logDir() / name).substr(19), " again\n");
}

TEST(DailyLog, AFileMovedAwayIsCreatedAgainAndKeepsWhatItHad) {
  TempWorkDir dir;
  const std::time_t at = localTime(2023, 6, 1, 10, 0, 0);
  const std::filesystem::path day = dir.logDir() / "log-2023-06-01.log";
  const std::filesystem::path moved = dir.logDir() / "log-2023-06-01.log.1";
  EXPECT_EQ(dailylog_detail::writeLogAt(at, "before\n"), 7);
  std::filesystem::rename(day, moved);  // as a log rotation does

  EXPECT_EQ(dailylog_detail::writeLogAt(at, "after\n"), 6);
  EXPECT_EQ(TempWorkDir::readFile(moved), "2023-06-01 10:00:00 before\n");
  EXPECT_EQ(TempWorkDir::readFile(day), "2023-06-01 10:00:00 after\n");

  // Another file put in its place gets the next entries, too.
  std::filesystem::rename(day, moved);
  { std::ofstream(day) << "new\n"; }
  EXPECT_EQ(dailylog_detail::writeLogAt(at, "third\n"), 6);
  EXPECT_EQ(TempWorkDir::readFile(day), "new\n2023-06-01 10:00:00 third\n");
  EXPECT_EQ(TempWorkDir::readFile(moved), "2023-06-01 10:00:00 after\n");
}

TEST(DailyLog, NameAndTimestampComeFromOneClockReading) {
  TempWorkDir dir;
  using dailylog_detail::writeLogAt;
  EXPECT_EQ(writeLogAt(localTime(2021, 3, 5, 23, 59, 59), "last %d\n", 1), 7);
  EXPECT_EQ(writeLogAt(localTime(2021, 3, 6, 0, 0, 0), "first\n"), 6);
  EXPECT_EQ(writeLogAt(localTime(2021, 3, 5, 14, 3, 9), "init success\n"), 13);

  EXPECT_EQ(TempWorkDir::readFile(dir.logDir() / "log-2021-03-05.log"),
            "2021-03-05 23:59:59 last 1\n2021-03-05 14:03:09 init success\n");
  EXPECT_EQ(TempWorkDir::readFile(dir.logDir() / "log-2021-03-06.log"), "2021-03-06 00:00:00 first\n");
}

TEST(DailyLog, LongMessageIsWrittenWhole) {
  TempWorkDir dir;
  std::string big;
  for (int i = 0; big.size() < 20000; ++i) big += std::to_string(i) + ",";
  const std::time_t at = localTime(2022, 12, 31, 8, 0, 0);
  EXPECT_EQ(dailylog_detail::writeLogAt(at, "%s\n", big.c_str()), static_cast<int>(big.size() + 1));
  EXPECT_EQ(TempWorkDir::readFile(dir.logDir() / "log-2022-12-31.log"), "2022-12-31 08:00:00 " + big + "\n");

  // Entries around 4 KiB, where a short entry's buffer ends, come out whole too.
  std::string expected;
  const std::time_t later = localTime(2023, 1, 1, 8, 0, 0);
  for (std::size_t length = 4060; length <= 4100; ++length) {
    const std::string message(length, static_cast<char>('a' + length % 26));
    EXPECT_EQ(dailylog_detail::writeLogAt(later, "%s\n", message.c_str()), static_cast<int>(length + 1));
    expected += "2023-01-01 08:00:00 " + message + "\n";
  }
  EXPECT_EQ(TempWorkDir::readFile(dir.logDir() / "log-2023-01-01.log"), expected);
}

TEST(DailyLog, AMessageThatCannotBeFormattedLeavesNoPartOfItsEntry) {
  TempWorkDir dir;
  const std::time_t at = localTime(2023, 2, 1, 9, 0, 0);
  // In the C locale a wide character above ASCII has no narrow form.
  EXPECT_LT(dailylog_detail::writeLogAt(at, "wide %ls\n", L"\u00e9"), 0);
  EXPECT_EQ(dailylog_detail::writeLogAt(at, "next\n"), 5);
  EXPECT_EQ(TempWorkDir::readFile(dir.logDir() / "log-2023-02-01.log"), "2023-02-01 09:00:00 next\n");
}

TEST(DailyLog, UnwritableLogGivesNegativeResultAndNoCrash) {
  TempWorkDir dir;
  {  // "../log" exists but is a plain file: no day file can be opened in it
    std::ofstream blocker(dir.logDir());
    blocker << "not a directory";
  }
  EXPECT_LT(writeLog("dropped %s\n", "entry"), 0);
  EXPECT_LT(dailylog_detail::writeLogAt(localTime(2021, 1, 1, 0, 0, 0), "dropped\n"), 0);
  EXPECT_EQ(TempWorkDir::readFile(dir.logDir()), "not a directory");

  // Once the obstacle is gone, logging works again.
  std::filesystem::remove(dir.logDir());
  EXPECT_EQ(writeLog("back\n"), 5);
}
