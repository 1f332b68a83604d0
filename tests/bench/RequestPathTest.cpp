// The request path the fuzz target drives, on hand-picked inputs and on every
// input kept in bench/fuzz/regressions (findings of earlier fuzz runs).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench/fuzz/RequestPath.h"

using bench::runRequestPath;

TEST(RequestPath, RoutesObjectsAndDropsEverythingElse) {
  auto outcome = runRequestPath(R"({"serial":"s1","login":1001,"amount":5,"type":1})");
  EXPECT_TRUE(outcome.parsed);
  EXPECT_EQ(outcome.recordsBuilt, 4);
  EXPECT_EQ(outcome.repliesChecked, 16);

  // A number sent as a string refuses every record that reads "login".
  outcome = runRequestPath(R"({"login":"1001"})");
  EXPECT_TRUE(outcome.parsed);
  EXPECT_EQ(outcome.recordsBuilt, 0);

  for (const char* dropped : {"", "[1,2]", "17", "\"text\"", "not json", "{", "null"}) {
    EXPECT_FALSE(runRequestPath(dropped).parsed) << dropped;
  }
  // Deep nesting is refused by the reader, not by a crash.
  EXPECT_FALSE(runRequestPath(std::string(100000, '[')).parsed);
  EXPECT_NO_THROW(runRequestPath("{\"serial\":\"" + std::string(1, '\0') + "\xff\xfe\",\"login\":-1}"));
}

TEST(RequestPath, KeptFuzzFindingsStayFixed) {
  const std::filesystem::path dir = std::filesystem::path(MQB_SOURCE_DIR) / "bench/fuzz/regressions";
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().filename() == "README") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_NO_THROW(runRequestPath(text.str())) << entry.path();
    ++inputs;
  }
  EXPECT_GT(inputs, 0) << "no inputs in " << dir;
}
