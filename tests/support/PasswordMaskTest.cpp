// Hiding passwords in the texts the service logs.
#include <gtest/gtest.h>

#include <string>

#include "support/PasswordMask.h"

TEST(PasswordMask, MasksThePasswordMembersAndKeepsTheRest) {
  EXPECT_EQ(maskPasswords(R"({"login":1001,"masterPass":"Secret1","investorPass":"Inv 2","name":"A"})"),
            R"({"login":1001,"masterPass":"***","investorPass":"***","name":"A"})");
  EXPECT_EQ(maskPasswords(R"({"newPass" : "n\"ew\\" , "password":"p"})"), R"({"newPass" : "***" , "password":"***"})");
  // Nested objects, pretty-printed text and comments between tokens.
  EXPECT_EQ(maskPasswords("{\n  \"data\": {\"masterPass\":\n \"x\", \"newPass\" /* c */ : // d\n \"y\"},\n"
                          "  \"code\": 200\n}\n"),
            "{\n  \"data\": {\"masterPass\":\n \"***\", \"newPass\" /* c */ : // d\n \"***\"},\n"
            "  \"code\": 200\n}\n");
  // A key spelt with escapes is still the key.
  EXPECT_EQ(maskPasswords(R"({"master\u0050ass":"s"})"), R"({"master\u0050ass":"***"})");
  // The names as values, in other keys or in comments are left alone.
  const std::string untouched =
      R"({"comment":"password","masterPassword":"x","a":["newPass",":"],"b":"\"masterPass\":1"})";
  EXPECT_EQ(maskPasswords(untouched), untouched);
  EXPECT_EQ(maskPasswords(R"({"routeType":"a","masterPass":null})"), R"({"routeType":"a","masterPass":null})");
}

TEST(PasswordMask, NonStringValuesAreMaskedWhole) {
  EXPECT_EQ(maskPasswords(R"({"masterPass":123456,"x":1})"), R"({"masterPass":"***","x":1})");
  EXPECT_EQ(maskPasswords(R"({"newPass":true})"), R"({"newPass":"***"})");
  EXPECT_EQ(maskPasswords(R"({"password":["a","]}"],"login":5})"), R"({"password":"***","login":5})");
  EXPECT_EQ(maskPasswords(R"({"password":{"k":{"v":"}"}},"login":5})"), R"({"password":"***","login":5})");
}

TEST(PasswordMask, AnyInputIsHandledWithoutLeakingTruncatedSecrets) {
  EXPECT_EQ(maskPasswords(""), "");
  EXPECT_EQ(maskPasswords("not json at all: masterPass"), "not json at all: masterPass");
  EXPECT_EQ(maskPasswords(R"({"masterPass":"unterminated secr)"), R"({"masterPass":"***")");
  EXPECT_EQ(maskPasswords(R"({"masterPass":"ends in escape\)"), R"({"masterPass":"***")");
  EXPECT_EQ(maskPasswords(R"({"password":[1,2)"), R"({"password":"***")");
  EXPECT_EQ(maskPasswords(R"({"masterPass":)"), R"({"masterPass":)");
  EXPECT_EQ(maskPasswords(R"({"masterPass")"), R"({"masterPass")");
  EXPECT_EQ(maskPasswords(R"({"masterPass":,"x":1})"), R"({"masterPass":,"x":1})");
  EXPECT_EQ(maskPasswords("\"\\"), "\"\\");
  EXPECT_EQ(maskPasswords("/* open comment \"masterPass\":\"s\""), "/* open comment \"masterPass\":\"s\"");
  const std::string binary("\xFF\x00\"password\":\"\x01\"\x00", 18);
  EXPECT_EQ(maskPasswords(binary), std::string("\xFF\x00\"password\":\"***\"\x00", 20));

  // Large inputs go through in one pass (a quadratic scan would take minutes).
  std::string many = "{";
  for (int i = 0; i < 200000; ++i) many += "\"masterPass\":\"s" + std::to_string(i) + "\",";
  many += "\"end\":1}";
  const std::string masked = maskPasswords(many);
  EXPECT_EQ(masked.find("\"s1"), std::string::npos);
  EXPECT_EQ(masked.size(), 1 + 200000 * std::string("\"masterPass\":\"***\",").size() + 8);
  const std::string deep = std::string(100000, '[') + "\"password\":\"x\"";
  EXPECT_EQ(maskPasswords(deep), std::string(100000, '[') + "\"password\":\"***\"");
  const std::string open = "{\"password\":" + std::string(100000, '[');
  EXPECT_EQ(maskPasswords(open), "{\"password\":\"***\"");
}
