// The JsonCpp wrappers, and the direct writer that must match JsonCpp's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/Json.h"
#include "support/JsonText.h"

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

// The direct writer against the JsonCpp writer, over edge cases and many
// random values: a byte that differs would change a reply.
namespace {

std::string viaJsonCpp(const Json::Value& value) {
  std::string text = writeJson(value);
  text.pop_back();  // the line feed after the value
  return text;
}

std::string shown(const std::string& bytes) {
  std::string text;
  char hex[4];
  for (unsigned char c : bytes) {
    std::snprintf(hex, sizeof hex, "%02x ", c);
    text += hex;
  }
  return text;
}

// Counts a difference and tells whether to go on: a broken writer shows a
// few examples, not thousands.
bool same(const std::string& direct, const std::string& reference, const std::string& input, int& failures) {
  if (direct == reference) return true;
  ADD_FAILURE() << "input " << input << "\n direct:  " << direct << "\n JsonCpp: " << reference;
  return ++failures < 10;
}

// Bytes where decoding has its cases: ASCII, control characters, the
// escaped ones, continuation bytes and every kind of lead byte.
unsigned char interestingByte(std::mt19937& random) {
  static const unsigned char kBytes[] = {0x00, 0x01, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x1F, 0x20, '"',  '\\', '/',
                                         'a',  0x7F, 0x80, 0x81, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xD0,
                                         0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};
  if (random() % 4 == 0) return static_cast<unsigned char>(random());
  return kBytes[random() % sizeof kBytes];
}

}  // namespace

TEST(JsonText, StringsComeOutAsTheWriterWritesThem) {
  std::vector<std::string> inputs = {"",
                                     "plain text",
                                     std::string("a\0b", 3),
                                     "caf\xC3\xA9",
                                     "\xF0\x9F\x98\x80",
                                     "\xF4\x90\x80\x80",
                                     "\xED\xA0\x80",
                                     "\xE0\x80\x80",
                                     "\xC3("};
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second)
      inputs.push_back({static_cast<char>(first), static_cast<char>(second)});
    inputs.push_back(std::string(1, static_cast<char>(first)));
  }
  std::mt19937 random(20240611);
  for (int i = 0; i < 60000; ++i) {
    std::string text(random() % 9, '\0');
    for (char& c : text) c = static_cast<char>(interestingByte(random));
    inputs.push_back(text);
  }
  int failures = 0;
  for (const std::string& input : inputs) {
    std::string direct;
    jsontext::appendString(direct, input);
    if (!same(direct, viaJsonCpp(Json::Value(input)), shown(input), failures)) break;
  }
}

TEST(JsonText, NumbersComeOutAsTheWriterWritesThem) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> reals = {0.0,
                               -0.0,
                               1.0,
                               -1.0,
                               0.1,
                               2.5,
                               100.0,
                               1e15,
                               1e16,
                               1e17,
                               1e21,
                               1e-7,
                               5e-324,
                               1e300,
                               -1e-300,
                               123.45,
                               1e308,
                               inf,
                               -inf,
                               std::nan(""),
                               9007199254740993.0,
                               std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::min()};
  std::mt19937_64 random(20240612);
  for (int i = 0; i < 30000; ++i) {
    const uint64_t bits = random();
    double fromBits;
    std::memcpy(&fromBits, &bits, sizeof fromBits);
    reals.push_back(fromBits);
    // Amounts as requests carry them: a few decimals, integers of any size.
    reals.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000000) - 1000000000) / 100.0);
    reals.push_back(static_cast<double>(random() >> (random() % 64)));
  }
  int failures = 0;
  for (double real : reals) {
    std::string direct;
    jsontext::appendDouble(direct, real);
    if (!same(direct, viaJsonCpp(Json::Value(real)), std::to_string(real), failures)) return;
  }

  std::vector<int64_t> signedValues = {0, -1, 1, std::numeric_limits<int64_t>::min(),
                                       std::numeric_limits<int64_t>::max()};
  for (int i = 0; i < 2000; ++i)
    signedValues.push_back(static_cast<int64_t>(random() >> (random() % 64)) * (i % 2 ? -1 : 1));
  for (int64_t value : signedValues) {
    std::string direct;
    jsontext::appendInt(direct, value);
    if (!same(direct, viaJsonCpp(Json::Value(static_cast<Json::Int64>(value))), std::to_string(value), failures))
      return;
    const auto unsignedValue = static_cast<uint64_t>(value);
    direct.clear();
    jsontext::appendUInt(direct, unsignedValue);
    if (!same(direct, viaJsonCpp(Json::Value(static_cast<Json::UInt64>(unsignedValue))), std::to_string(unsignedValue),
              failures))
      return;
  }
}
