// The JsonCpp wrappers.
#include <gtest/gtest.h>

#include <string>

#include "support/Json.h"

TEST(Json, ParsesWithCommentsAndWritesCompactLines) {
  Json::Value root;
  std::string error;
  ASSERT_TRUE(parseJson("// head\n{\"a\": 1, /* mid */ \"b\": [true, null]}\n", root, &error));
  EXPECT_EQ(root["a"].asInt(), 1);
  EXPECT_EQ(writeJson(root), "{\"a\":1,\"b\":[true,null]}\n");

  Json::Value scalar;
  ASSERT_TRUE(parseJson("17", scalar));  // any value may be the root
  EXPECT_EQ(scalar.asInt(), 17);

  Json::Value bad;
  EXPECT_FALSE(parseJson("{\"a\":", bad, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(parseJson("   ", bad));  // no error text asked for
  EXPECT_EQ(writeJson(Json::Value("\xD0\x86")), "\"\\u0406\"\n");
}

TEST(Json, TooDeepDocumentsThrowTheLibraryError) {
  Json::Value root;
  const std::string deep(5000, '[');
  try {
    parseJson(deep, root);
    FAIL() << "no exception";
  } catch (const Json::Exception& e) {
    EXPECT_STREQ(e.what(), "Exceeded stackLimit in readValue().");
  }
}
