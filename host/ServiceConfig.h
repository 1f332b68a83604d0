#pragma once
// The service's settings: one JSON object in "config.ini" in the working
// directory, read once at start and only read afterwards.
#include <cstdint>
#include <optional>
#include <string>

#include <json/json.h>

struct ServiceConfig {
  ServiceConfig() = default;
  // Reads the fifteen keys in field order (asString / asInt); a value of a
  // type that cannot be converted raises Json::LogicError. The optional
  // keys below are read by readConfigFile, which checks their types.
  explicit ServiceConfig(Json::Value document);

  std::string server;
  int32_t login = 0;
  std::string password;
  std::string activeMqName;
  std::string activeMqPassword;
  std::string brokerURI;
  std::string userRecordCreate;
  std::string userRecordUpdate;
  std::string userRecordPasswordUpdate;
  std::string tradeTransInfo;
  std::string userRecordCreateCallback;
  std::string userRecordUpdateCallback;
  std::string userRecordPasswordUpdateCallback;
  std::string tradeTransInfoCallback;
  std::string tradeCancellationCreditTransInfo;

  // Optional keys; files without them keep working.
  // The request journal's file, relative to the working directory.
  std::string journalPath = kDefaultJournalPath;
  // A journal on a PostgreSQL server instead ("postgresql://..."), shared by
  // the instances of several hosts; empty: the file at journalPath.
  std::string journal;
  // The journal's digest key; empty: "<journalPath>.key", or
  // kDefaultSharedKeyFile for a journal on a server (the same file on
  // every host).
  std::string journalKeyFile;
  // A file whose first line is the PostgreSQL password (else the URI, the
  // PGPASSWORD variable or a PGPASSFILE give it, as libpq reads them).
  std::string journalPasswordFile;
  // Journal entries older than this are pruned (in-doubt ones are kept).
  int32_t journalRetentionDays = 7;
  // A request whose non-empty "serial" matches one done on its queue within
  // the retention period is answered from the journal, not carried out.
  bool retrySafeSerials = false;
  // Requests of one queue the broker hands out before the first of them is
  // acknowledged: they are still carried out one at a time in arrival
  // order; what overlaps is the confirmation of earlier replies with the
  // work on later requests.
  uint32_t requestWindow = 32;
  static constexpr uint32_t kMaxRequestWindow = 1000;
  // A lost trading-server session is reopened after 0.5 s, then after twice
  // the last wait each time, up to this many seconds between tries.
  double sessionReopenMaxSeconds = 30;
  // true: the queues are served by one instance of those sharing the
  // journal at a time; this one waits, holding no consumer, while another
  // live instance serves them.
  bool standby = false;
  static constexpr double kMaxSessionReopenSeconds = 3600;

  static constexpr const char* kDefaultJournalPath = "../journal/requests.db";
  static constexpr const char* kDefaultSharedKeyFile = "../journal/shared-journal.key";

  // Operating keys, all optional. "console": false runs the service without
  // its prompt and key waits (under a service manager); it then stops on
  // SIGTERM or SIGINT only.
  bool console = true;
  // "metricsAddress": "127.0.0.1:PORT" serves /metrics and /health there;
  // empty: no HTTP server. Only loopback addresses are accepted.
  std::string metricsAddress;
};

// A loopback listening address taken from "host:port": host is 127.x.x.x,
// localhost or [::1] (brackets dropped), port 1..65535. Empty optional and
// why in *reason otherwise.
struct LoopbackAddress {
  std::string host;
  int port = 0;
};
std::optional<LoopbackAddress> parseLoopbackAddress(const std::string& text, std::string* reason = nullptr);

// The one process-wide record. It is never torn down, so a broker thread
// still running at process exit cannot reach a destroyed record.
ServiceConfig& serviceConfig();

// Reads "config.ini" from the working directory into serviceConfig() and
// checks server, password, login and the eight queue names. Returns 1 when
// usable, -1 otherwise; prints nothing. After -1, configError() names the
// problem in one line (never showing the password).
int readConfig();
// The same for a file at path (named by path in configError()).
int readConfigFile(const std::string& path);

// Why the last readConfig failed; empty after a success.
const std::string& configError();
