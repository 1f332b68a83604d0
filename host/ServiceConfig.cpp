#include "host/ServiceConfig.h"

#include "support/SqlDb.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "support/Json.h"

namespace {

std::string& lastError() {
  static std::string* error = new std::string;  // outlives every reader
  return *error;
}

// The keys in reading order, with whether each is read as an integer.
struct KeySpec {
  const char* name;
  bool integer;
};
constexpr KeySpec kKeys[] = {
    {"server", false},
    {"login", true},
    {"password", false},
    {"activeMqName", false},
    {"activeMqPassword", false},
    {"brokerURI", false},
    {"userRecordCreate", false},
    {"userRecordUpdate", false},
    {"userRecordPasswordUpdate", false},
    {"tradeTransInfo", false},
    {"userRecordCreateCallback", false},
    {"userRecordUpdateCallback", false},
    {"userRecordPasswordUpdateCallback", false},
    {"tradeTransInfoCallback", false},
    {"tradeCancellationCreditTransInfo", false},
};

// The first key whose value the constructor cannot convert, with the
// library's message; the same order the constructor reads them in.
std::string describeBadKey(const Json::Value& document) {
  for (const KeySpec& key : kKeys) {
    try {
      if (key.integer) {
        (void)document[key.name].asInt();
      } else {
        (void)document[key.name].asString();
      }
    } catch (const Json::Exception& e) {
      return std::string("\"") + key.name + "\" has a value of the wrong type (" + e.what() + ")";
    }
  }
  return "a value has the wrong type";
}

// The parser's messages on one line ("Line 1, Column 14: Syntax error...").
// Quoted excerpts of the document other than single structural characters
// are dropped: an unquoted password would otherwise be shown.
std::string parserMessage(const std::string& formatted) {
  std::string text = formatted;
  while (text.rfind("* ", 0) == 0) text.erase(0, 2);
  std::string line;
  bool firstBreak = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) break;  // the rest is an excerpt
      const std::string excerpt = text.substr(i + 1, close - i - 1);
      const bool structural = excerpt.size() == 1 && std::strchr(",:{}[]\"", excerpt[0]) != nullptr;
      line += "'" + (structural ? excerpt : std::string("...")) + "'";
      i = close;
    } else if (c == '\n' && firstBreak) {
      line += ": ";
      firstBreak = false;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

int fail(const std::string& path, const std::string& reason) {
  lastError() = path + ": " + reason;
  return -1;
}

// The first check that fails, in the order server, password, login, then
// the eight queue names; "" when all pass.
std::string firstFailedCheck(const ServiceConfig& c) {
  if (c.server.empty()) return "\"server\" is empty or missing";
  if (c.password.empty()) return "\"password\" is empty or missing";
  if (c.login == 0) return "\"login\" is zero or missing";
  const std::pair<const char*, const std::string*> queues[] = {
      {"userRecordCreate", &c.userRecordCreate},
      {"userRecordUpdate", &c.userRecordUpdate},
      {"userRecordPasswordUpdate", &c.userRecordPasswordUpdate},
      {"tradeTransInfo", &c.tradeTransInfo},
      {"userRecordCreateCallback", &c.userRecordCreateCallback},
      {"userRecordUpdateCallback", &c.userRecordUpdateCallback},
      {"userRecordPasswordUpdateCallback", &c.userRecordPasswordUpdateCallback},
      {"tradeTransInfoCallback", &c.tradeTransInfoCallback},
  };
  for (const auto& [key, value] : queues) {
    if (value->empty()) return std::string("\"") + key + "\" is empty or missing";
  }
  return "";
}

// A journal on a PostgreSQL server, shared by the hosts of one set of
// queues, and where its secrets come from.
std::string readSharedJournalKeys(const Json::Value& d, ServiceConfig& c) {
  const Json::Value& journal = d["journal"];
  if (!journal.isNull()) {
    if (!journal.isString() || !sqldb::isPostgresLocation(journal.asString()))
      return "\"journal\" must be a PostgreSQL URI such as \"postgresql://user@host:5432/db\" (a journal file is "
             "named by \"journalPath\")";
    if (!d["journalPath"].isNull()) return "\"journal\" and \"journalPath\" name two journals: keep one";
    c.journal = journal.asString();
  }
  const std::pair<const char*, std::string*> files[] = {{"journalKeyFile", &c.journalKeyFile},
                                                        {"journalPasswordFile", &c.journalPasswordFile}};
  for (const auto& [key, value] : files) {
    const Json::Value& v = d[key];
    if (v.isNull()) continue;
    if (!v.isString() || v.asString().empty()) return std::string("\"") + key + "\" must be a non-empty path";
    *value = v.asString();
  }
  if (!c.journalPasswordFile.empty() && c.journal.empty())
    return "\"journalPasswordFile\" is for a journal on a PostgreSQL server (\"journal\")";
  return "";
}

// The keys beyond the fifteen: absent or null keeps the default; a value of
// another type is refused rather than guessed at. "" when all are usable.
std::string readOptionalKeys(const Json::Value& d, ServiceConfig& c) {
  const Json::Value& path = d["journalPath"];
  if (!path.isNull()) {
    if (!path.isString() || path.asString().empty()) return "\"journalPath\" must be a non-empty string";
    c.journalPath = path.asString();
  }
  const Json::Value& days = d["journalRetentionDays"];
  if (!days.isNull()) {
    if (!days.isInt() || days.asInt() < 1) return "\"journalRetentionDays\" must be a whole number of days, 1 or more";
    c.journalRetentionDays = days.asInt();
  }
  const Json::Value& serials = d["retrySafeSerials"];
  if (!serials.isNull()) {
    if (!serials.isBool()) return "\"retrySafeSerials\" must be true or false";
    c.retrySafeSerials = serials.asBool();
  }
  const Json::Value& window = d["requestWindow"];
  if (!window.isNull()) {
    if (!window.isUInt() || window.asUInt() < 1 || window.asUInt() > ServiceConfig::kMaxRequestWindow)
      return "\"requestWindow\" must be a whole number from 1 to " + std::to_string(ServiceConfig::kMaxRequestWindow);
    c.requestWindow = window.asUInt();
  }
  const Json::Value& reopen = d["sessionReopenMaxSeconds"];
  if (!reopen.isNull()) {
    if (!reopen.isNumeric() || reopen.asDouble() < 0.5 || reopen.asDouble() > ServiceConfig::kMaxSessionReopenSeconds)
      return "\"sessionReopenMaxSeconds\" must be a number of seconds from 0.5 to 3600";
    c.sessionReopenMaxSeconds = reopen.asDouble();
  }
  const Json::Value& standby = d["standby"];
  if (!standby.isNull()) {
    if (!standby.isBool()) return "\"standby\" must be true or false";
    c.standby = standby.asBool();
  }
  return readSharedJournalKeys(d, c);
}

// The optional operating keys: a missing key (or null) keeps the default, a
// present one must have the right type. "" when all are usable.
std::string readOperatingKeys(const Json::Value& d, ServiceConfig& c) {
  const Json::Value& console = d["console"];
  if (!console.isNull()) {
    if (!console.isBool()) return "\"console\" must be true or false";
    c.console = console.asBool();
  }
  const Json::Value& metrics = d["metricsAddress"];
  if (!metrics.isNull()) {
    if (!metrics.isString()) return "\"metricsAddress\" must be a string such as \"127.0.0.1:9464\"";
    c.metricsAddress = metrics.asString();
    std::string reason;
    if (!c.metricsAddress.empty() && !parseLoopbackAddress(c.metricsAddress, &reason))
      return "\"metricsAddress\" " + reason;
  }
  return "";
}

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char ch : text)
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  return true;
}

// 127.0.0.0/8 in dotted decimal, four parts of 0..255.
bool isLoopbackIpv4(const std::string& host) {
  std::istringstream parts(host);
  std::string part;
  int count = 0;
  while (std::getline(parts, part, '.')) {
    if (!allDigits(part) || part.size() > 3 || std::stoi(part) > 255) return false;
    if (count == 0 && part != "127") return false;
    ++count;
  }
  return count == 4 && host.back() != '.';
}

}  // namespace

std::optional<LoopbackAddress> parseLoopbackAddress(const std::string& text, std::string* reason) {
  const auto refuse = [reason](const std::string& why) -> std::optional<LoopbackAddress> {
    if (reason) *reason = why;
    return std::nullopt;
  };
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return refuse("must be host:port, e.g. 127.0.0.1:9464");
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (!allDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
    return refuse("has no port between 1 and 65535");
  if (host == "[::1]") {
    host = "::1";
  } else if (host != "localhost" && !isLoopbackIpv4(host)) {
    // Metrics are unauthenticated: they stay on this machine.
    return refuse("must be a loopback address (127.x.x.x, localhost or [::1])");
  }
  return LoopbackAddress{host, std::stoi(port)};
}

ServiceConfig::ServiceConfig(Json::Value document) {
  const Json::Value& d = document;  // const lookups never insert members
  server = d["server"].asString();
  login = d["login"].asInt();
  password = d["password"].asString();
  activeMqName = d["activeMqName"].asString();
  activeMqPassword = d["activeMqPassword"].asString();
  brokerURI = d["brokerURI"].asString();
  userRecordCreate = d["userRecordCreate"].asString();
  userRecordUpdate = d["userRecordUpdate"].asString();
  userRecordPasswordUpdate = d["userRecordPasswordUpdate"].asString();
  tradeTransInfo = d["tradeTransInfo"].asString();
  userRecordCreateCallback = d["userRecordCreateCallback"].asString();
  userRecordUpdateCallback = d["userRecordUpdateCallback"].asString();
  userRecordPasswordUpdateCallback = d["userRecordPasswordUpdateCallback"].asString();
  tradeTransInfoCallback = d["tradeTransInfoCallback"].asString();
  tradeCancellationCreditTransInfo = d["tradeCancellationCreditTransInfo"].asString();
}

ServiceConfig& serviceConfig() {
  static ServiceConfig* config = new ServiceConfig;  // outlives every reader
  return *config;
}

const std::string& configError() { return lastError(); }

int readConfig() { return readConfigFile("config.ini"); }

int readConfigFile(const std::string& path) {
  lastError().clear();
  std::string content;
  {
    std::ifstream file(path);
    if (!file.is_open()) return fail(path, std::string("cannot be opened (") + std::strerror(errno) + ")");
    std::ostringstream text;
    text << file.rdbuf();
    content = text.str();
  }
  if (content.empty()) return fail(path, "is empty or cannot be read");

  Json::Value document;
  try {
    std::string error;
    if (!parseJson(content, document, &error)) return fail(path, "is not valid JSON: " + parserMessage(error));
  } catch (const Json::Exception& e) {
    return fail(path, std::string("is not valid JSON: ") + e.what());
  }
  if (!document.isObject()) return fail(path, "does not hold a JSON object");

  try {
    ServiceConfig configp(document);
    const std::string badKey = readOperatingKeys(document, configp);
    if (!badKey.empty()) return fail(path, badKey);
    serviceConfig() = configp;
  } catch (const Json::Exception&) {
    return fail(path, describeBadKey(document));
  }

  const std::string optionalProblem = readOptionalKeys(document, serviceConfig());
  if (!optionalProblem.empty()) return fail(path, optionalProblem);

  const std::string failed = firstFailedCheck(serviceConfig());
  if (!failed.empty()) return fail(path, failed);
  return 1;
}
