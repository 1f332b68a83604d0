// Reading and checking config.ini.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "host/ServiceConfig.h"
#include "tests/support/TempWorkDir.h"

namespace {

// A complete, valid configuration; tests replace or drop single lines.
const char* const kValid = R"({
  // trading server
  "server": "127.0.0.1:443",
  "login": 1005,
  "password": "S3cr3t!",
  /* broker */
  "activeMqName": "mq", "activeMqPassword": "mqpass",
  "brokerURI": "tcp://127.0.0.1:61613",
  "userRecordCreate": "q.create", "userRecordUpdate": "q.update",
  "userRecordPasswordUpdate": "q.password", "tradeTransInfo": "q.trade",
  "userRecordCreateCallback": "q.create.cb", "userRecordUpdateCallback": "q.update.cb",
  "userRecordPasswordUpdateCallback": "q.password.cb", "tradeTransInfoCallback": "q.trade.cb",
  "tradeCancellationCreditTransInfo": "creditCancel",
  "somethingElse": [1, 2, 3]
})";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

// Writes config.ini in the current (temporary) directory and reads it.
int readWith(const std::string& content) {
  std::ofstream("config.ini", std::ios::binary | std::ios::trunc) << content;
  serviceConfig() = ServiceConfig();
  return readConfig();
}

}  // namespace

TEST(ServiceConfig, ValidFileFillsEveryField) {
  TempWorkDir dir;
  ASSERT_EQ(readWith(kValid), 1) << configError();
  EXPECT_EQ(configError(), "");
  const ServiceConfig& c = serviceConfig();
  EXPECT_EQ(c.server, "127.0.0.1:443");
  EXPECT_EQ(c.login, 1005);
  EXPECT_EQ(c.password, "S3cr3t!");
  EXPECT_EQ(c.activeMqName, "mq");
  EXPECT_EQ(c.activeMqPassword, "mqpass");
  EXPECT_EQ(c.brokerURI, "tcp://127.0.0.1:61613");
  EXPECT_EQ(c.userRecordCreate, "q.create");
  EXPECT_EQ(c.userRecordUpdate, "q.update");
  EXPECT_EQ(c.userRecordPasswordUpdate, "q.password");
  EXPECT_EQ(c.tradeTransInfo, "q.trade");
  EXPECT_EQ(c.userRecordCreateCallback, "q.create.cb");
  EXPECT_EQ(c.userRecordUpdateCallback, "q.update.cb");
  EXPECT_EQ(c.userRecordPasswordUpdateCallback, "q.password.cb");
  EXPECT_EQ(c.tradeTransInfoCallback, "q.trade.cb");
  EXPECT_EQ(c.tradeCancellationCreditTransInfo, "creditCancel");

  // Conversions of the library: number to text, real cut toward zero.
  ASSERT_EQ(readWith(replaced(replaced(kValid, "\"127.0.0.1:443\"", "17"), "1005,", "1005.9,")), 1);
  EXPECT_EQ(serviceConfig().server, "17");
  EXPECT_EQ(serviceConfig().login, 1005);
  ASSERT_EQ(readWith(replaced(kValid, "1005,", "-5,")), 1);  // a negative login passes
  EXPECT_EQ(serviceConfig().login, -5);
  ASSERT_EQ(readWith(replaced(kValid, "1005,", "true,")), 1);
  EXPECT_EQ(serviceConfig().login, 1);
  // The optional keys may be missing or empty.
  ASSERT_EQ(readWith(replaced(
                replaced(replaced(kValid, "\"brokerURI\": \"tcp://127.0.0.1:61613\",", ""), "\"mqpass\"", "\"\""),
                "\"creditCancel\"", "null")),
            1);
  EXPECT_EQ(serviceConfig().brokerURI, "");
  EXPECT_EQ(serviceConfig().activeMqPassword, "");
  EXPECT_EQ(serviceConfig().tradeCancellationCreditTransInfo, "");

  // The ServiceConfig constructor alone: absent keys give the defaults.
  const ServiceConfig fromEmpty{Json::Value(Json::objectValue)};
  EXPECT_EQ(fromEmpty.server, "");
  EXPECT_EQ(fromEmpty.login, 0);
}

TEST(ServiceConfig, UnusableFilesFailWithAReason) {
  TempWorkDir dir;
  EXPECT_EQ(readConfig(), -1);  // no file at all
  EXPECT_EQ(configError(), "config.ini: cannot be opened (No such file or directory)");
  EXPECT_EQ(readWith(""), -1);
  EXPECT_EQ(configError(), "config.ini: is empty or cannot be read");
  EXPECT_EQ(readWith("  \n\t "), -1);
  EXPECT_EQ(configError().rfind("config.ini: is not valid JSON: ", 0), 0u) << configError();
  EXPECT_EQ(readWith("{\"server\": \"a\","), -1);
  EXPECT_EQ(configError().rfind("config.ini: is not valid JSON: ", 0), 0u) << configError();
  EXPECT_EQ(configError().find('\n'), std::string::npos);
  EXPECT_EQ(readWith(R"({"a":1 "b":2})"), -1);
  EXPECT_EQ(configError(), "config.ini: is not valid JSON: Line 1, Column 8: Missing ',' or '}' in object declaration");
  for (const char* root : {"[1, 2]", "42", "\"text\"", "null"}) {
    EXPECT_EQ(readWith(root), -1) << root;
    EXPECT_EQ(configError(), "config.ini: does not hold a JSON object") << root;
  }
  // Nested too deep for the parser: its exception does not escape.
  EXPECT_EQ(readWith("{\"server\": " + std::string(5000, '[')), -1);
  EXPECT_EQ(configError(), "config.ini: is not valid JSON: Exceeded stackLimit in readValue().");

  // A path of our own choosing is named in the reason.
  EXPECT_EQ(readConfigFile(dir.work().string()), -1);  // a directory, not a file
  EXPECT_EQ(configError().rfind(dir.work().string() + ": ", 0), 0u) << configError();
}

TEST(ServiceConfig, ChecksRunInOrderAndNameTheKey) {
  TempWorkDir dir;
  const char* const checked[] = {"server",
                                 "password",
                                 "userRecordCreate",
                                 "userRecordUpdate",
                                 "userRecordPasswordUpdate",
                                 "tradeTransInfo",
                                 "userRecordCreateCallback",
                                 "userRecordUpdateCallback",
                                 "userRecordPasswordUpdateCallback",
                                 "tradeTransInfoCallback"};
  for (const char* key : checked) {
    const std::string quoted = std::string("\"") + key + "\": \"";
    // Empty value: "key": "" (the original value stays as a stray key).
    EXPECT_EQ(readWith(replaced(kValid, quoted, quoted + "\", \"x\": \"")), -1) << key;
    EXPECT_EQ(configError(), std::string("config.ini: \"") + key + "\" is empty or missing");
  }
  EXPECT_EQ(readWith(replaced(kValid, "1005,", "0,")), -1);
  EXPECT_EQ(configError(), "config.ini: \"login\" is zero or missing");
  EXPECT_EQ(readWith(replaced(kValid, "\"login\": 1005,", "")), -1);
  EXPECT_EQ(configError(), "config.ini: \"login\" is zero or missing");
  // Two failures: the earlier check is reported (server before password before login).
  EXPECT_EQ(readWith(R"({"password": "", "login": 0, "server": ""})"), -1);
  EXPECT_EQ(configError(), "config.ini: \"server\" is empty or missing");
  EXPECT_EQ(readWith(R"({"server": "s", "login": 0, "password": ""})"), -1);
  EXPECT_EQ(configError(), "config.ini: \"password\" is empty or missing");
  // A success clears the reason.
  ASSERT_EQ(readWith(kValid), 1);
  EXPECT_EQ(configError(), "");
}

TEST(ServiceConfig, WrongTypesFailWithoutEscapingAndNameTheKey) {
  TempWorkDir dir;
  const struct {
    std::string from, to, reason;
  } cases[] = {
      {"1005,", "\"1005\",", "\"login\" has a value of the wrong type (Value is not convertible to Int.)"},
      {"1005,", "3000000000,", "\"login\" has a value of the wrong type (LargestUInt out of Int range)"},
      {"1005,", "1e12,", "\"login\" has a value of the wrong type (double out of Int range)"},
      {"1005,", "{},", "\"login\" has a value of the wrong type (Value is not convertible to Int.)"},
      {"\"127.0.0.1:443\"", "[]", "\"server\" has a value of the wrong type (Type is not convertible to string)"},
      {"\"q.trade.cb\"", "{\"a\": 1}",
       "\"tradeTransInfoCallback\" has a value of the wrong type (Type is not convertible to string)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readWith(replaced(kValid, c.from, c.to)), -1) << c.to;
    EXPECT_EQ(configError(), "config.ini: " + c.reason);
  }
  // The optional keys: absent gives the defaults, set they are read, a value
  // of another type is refused rather than guessed at.
  ASSERT_EQ(readWith(kValid), 1);
  EXPECT_EQ(serviceConfig().journalPath, "../journal/requests.db");
  EXPECT_EQ(serviceConfig().journalRetentionDays, 7);
  EXPECT_FALSE(serviceConfig().retrySafeSerials);
  EXPECT_EQ(serviceConfig().requestWindow, 32u);
  EXPECT_EQ(serviceConfig().sessionReopenMaxSeconds, 30.0);
  EXPECT_FALSE(serviceConfig().standby);
  const std::string withOptional =
      replaced(kValid, "\"somethingElse\"",
               "\"journalPath\": \"j/r.db\", \"journalRetentionDays\": 30, \"retrySafeSerials\": true, "
               "\"requestWindow\": 1, \"sessionReopenMaxSeconds\": 2.5, \"standby\": true, \"somethingElse\"");
  ASSERT_EQ(readWith(withOptional), 1) << configError();
  EXPECT_EQ(serviceConfig().journalPath, "j/r.db");
  EXPECT_EQ(serviceConfig().journalRetentionDays, 30);
  EXPECT_TRUE(serviceConfig().retrySafeSerials);
  EXPECT_EQ(serviceConfig().requestWindow, 1u);
  EXPECT_EQ(serviceConfig().sessionReopenMaxSeconds, 2.5);
  EXPECT_TRUE(serviceConfig().standby);
  const struct {
    std::string to, reason;
  } optional[] = {
      {"\"retrySafeSerials\": 1,", "\"retrySafeSerials\" must be true or false"},
      {"\"standby\": \"yes\",", "\"standby\" must be true or false"},
      {"\"journalRetentionDays\": 0,", "\"journalRetentionDays\" must be a whole number of days, 1 or more"},
      {"\"journalRetentionDays\": 1.5,", "\"journalRetentionDays\" must be a whole number of days, 1 or more"},
      {"\"journalPath\": \"\",", "\"journalPath\" must be a non-empty string"},
      {"\"requestWindow\": 0,", "\"requestWindow\" must be a whole number from 1 to 1000"},
      {"\"requestWindow\": 1001,", "\"requestWindow\" must be a whole number from 1 to 1000"},
      {"\"sessionReopenMaxSeconds\": 0.1,", "\"sessionReopenMaxSeconds\" must be a number of seconds from 0.5 to 3600"},
      {"\"sessionReopenMaxSeconds\": \"30\",",
       "\"sessionReopenMaxSeconds\" must be a number of seconds from 0.5 to 3600"},
  };
  for (const auto& c : optional) {
    EXPECT_EQ(readWith(replaced(kValid, "\"somethingElse\"", c.to + "\"somethingElse\"")), -1) << c.to;
    EXPECT_EQ(configError(), "config.ini: " + c.reason);
  }
  // Several bad keys: the first in reading order is named.
  EXPECT_EQ(readWith(R"({"tradeTransInfo": [], "login": "x", "server": {}})"), -1);
  EXPECT_EQ(configError(), "config.ini: \"server\" has a value of the wrong type (Type is not convertible to string)");
}

TEST(ServiceConfig, ThePasswordNeverAppearsInTheReason) {
  TempWorkDir dir;
  const std::string broken[] = {
      replaced(kValid, "\"S3cr3t!\"", "S3cr3t!"),
      replaced(kValid, "\"S3cr3t!\"", "-1S3cr3t"),
      replaced(kValid, "\"S3cr3t!\"", "1e99S3cr3t"),
      replaced(kValid, "\"S3cr3t!\",", "\"S3cr3t!\" \"S3cr3t\""),
      replaced(kValid, "\"S3cr3t!\"", "\"S3cr3t\\q\""),
      replaced(kValid, "\"login\": 1005", "\"login\": \"S3cr3t\""),
      replaced(kValid, "\"server\": \"127.0.0.1:443\"", "\"server\": [\"S3cr3t\"]"),
  };
  for (const std::string& text : broken) {
    EXPECT_EQ(readWith(text), -1) << text;
    EXPECT_FALSE(configError().empty());
    EXPECT_EQ(configError().find("S3cr3t"), std::string::npos) << configError();
  }
}

TEST(ServiceConfig, OperatingKeysAreOptionalAndTypeChecked) {
  TempWorkDir dir;
  ASSERT_EQ(readWith(kValid), 1);
  EXPECT_TRUE(serviceConfig().console);
  EXPECT_EQ(serviceConfig().metricsAddress, "");

  const std::string withKeys = replaced(
      kValid, "\"somethingElse\"", "\"console\": false, \"metricsAddress\": \"127.0.0.1:9464\", \"somethingElse\"");
  ASSERT_EQ(readWith(withKeys), 1) << configError();
  EXPECT_FALSE(serviceConfig().console);
  EXPECT_EQ(serviceConfig().metricsAddress, "127.0.0.1:9464");
  ASSERT_EQ(readWith(replaced(kValid, "\"somethingElse\"", "\"console\": null, \"metricsAddress\": \"\", \"x\"")), 1);
  EXPECT_TRUE(serviceConfig().console);
  EXPECT_EQ(serviceConfig().metricsAddress, "");

  const struct {
    std::string keys, reason;
  } bad[] = {
      {"\"console\": 0", "\"console\" must be true or false"},
      {"\"console\": \"false\"", "\"console\" must be true or false"},
      {"\"metricsAddress\": 9464", "\"metricsAddress\" must be a string such as \"127.0.0.1:9464\""},
      {"\"metricsAddress\": \"0.0.0.0:9464\"",
       "\"metricsAddress\" must be a loopback address (127.x.x.x, localhost or [::1])"},
      {"\"metricsAddress\": \"127.0.0.1\"", "\"metricsAddress\" must be host:port, e.g. 127.0.0.1:9464"},
      {"\"metricsAddress\": \"127.0.0.1:0\"", "\"metricsAddress\" has no port between 1 and 65535"},
  };
  for (const auto& c : bad) {
    EXPECT_EQ(readWith(replaced(kValid, "\"somethingElse\"", c.keys + ", \"somethingElse\"")), -1) << c.keys;
    EXPECT_EQ(configError(), "config.ini: " + c.reason);
  }
}

TEST(ServiceConfig, MetricsAddressMustStayOnThisMachine) {
  for (const char* good : {"127.0.0.1:9464", "127.1.2.3:1", "localhost:65535", "[::1]:9464"}) {
    EXPECT_TRUE(parseLoopbackAddress(good).has_value()) << good;
  }
  const auto v6 = parseLoopbackAddress("[::1]:80");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "::1");
  EXPECT_EQ(v6->port, 80);
  for (const char* refused : {"10.0.0.1:9464", "128.0.0.1:80", "127.0.0.256:80", "127.0.0:80", "127.0.0.1.:80",
                              "example.com:80", ":9464", "[::]:80", "127.0.0.1:65536", "127.0.0.1:x", ""}) {
    std::string reason;
    EXPECT_FALSE(parseLoopbackAddress(refused, &reason).has_value()) << refused;
    EXPECT_FALSE(reason.empty()) << refused;
  }
}
