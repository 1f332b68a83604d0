#pragma once
// mqbridge-journal run in this process on a journal holding one request in
// each state of its life: an SQLite file of its own, or (built with
// MQB_JOURNAL_ON_POSTGRES) a schema of its own on a private cluster.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bus/JournalEntry.h"
#include "bus/RequestJournal.h"
#include "support/SqlDb.h"
#include "tools/JournalTool.h"
#ifdef MQB_JOURNAL_ON_POSTGRES
#include "tests/support/PostgresCluster.h"
#endif

namespace journaltool {

namespace fs = std::filesystem;

#ifdef MQB_JOURNAL_ON_POSTGRES
inline testpg::Cluster* const cluster =
    static_cast<testpg::Cluster*>(::testing::AddGlobalTestEnvironment(new testpg::Cluster));
constexpr bool kOnServer = true;
#else
constexpr bool kOnServer = false;
#endif

struct Outcome {
  int status = -1;
  std::string out, err;
};

inline Outcome tool(const std::vector<std::string>& args, int busyTimeoutMs = 2000) {
  std::ostringstream out, err;
  Outcome r;
  r.status = runJournalTool(args, out, err, busyTimeoutMs);
  r.out = out.str();
  r.err = err.str();
#ifdef MQB_JOURNAL_ON_POSTGRES
  // Whatever a command prints, never the database's password.
  EXPECT_EQ(r.out.find(cluster->password()), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find(cluster->password()), std::string::npos) << r.err;
#endif
  return r;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

inline bool listed(const Outcome& r, const std::string& messageId) {
  return r.out.find(" " + messageId + " ") != std::string::npos;
}

// Every file in dir and its bytes.
inline std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& f : fs::recursive_directory_iterator(dir)) {
    std::ifstream in(f.path(), std::ios::binary);
    files[f.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

// The rows of a query, one text per row, columns separated by '|'.
inline std::vector<std::string> rowsOf(sqldb::Connection& db, const std::string& sql, int columns) {
  sqldb::Statement q(db, sql);
  std::vector<std::string> rows;
  while (q.step()) {
    std::string row;
    for (int c = 0; c < columns; ++c) row += (q.isNull(c) ? "NULL" : q.text(c)) + "|";
    rows.push_back(row);
  }
  return rows;
}

// One request in each state of its life at location, written by a journal
// closed after.
inline void fillJournal(const std::string& location, const std::string& key) {
  {
    RequestJournal j(location, 7, "elsewhere/1/1", key);
    const auto add = [&](const std::string& id, uint64_t login, double amount) {
      JournalEntry e;
      e.queue = "trade.in";
      e.messageId = id;
      e.correlationId = "corr-" + id;
      e.serial = "serial-" + id;
      e.kind = "trade";
      e.login = login;
      e.amount = amount;
      j.received(e);
    };
    PlannedChange change;
    change.login = 1001;
    change.amount = 250.5;
    const std::string reply = R"({"code":200,"login":1001})";
    add("m-received", 1000, 1);
    add("m-started", 1001, 250.5);
    j.started("trade.in", "m-started", change);
    for (const std::string id : {"m-done", "m-confirmed", "m-acked", "m-doubt", "m-resolved"}) {
      add(id, 1002, -3);
      j.started("trade.in", id, change);
    }
    for (const std::string id : {"m-done", "m-confirmed", "m-acked"}) j.done("trade.in", id, reply, 77, true);
    j.confirmed("trade.in", "m-confirmed", "corr-m-confirmed");
    j.confirmed("trade.in", "m-acked", "corr-m-acked");
    j.acknowledged("trade.in", "m-acked");
    const std::string doubtful = R"({"code":-1001,"msg":"fail","newPass":"s3cret","user":{"password":"hunter2"}})";
    j.inDoubt("trade.in", "m-doubt", doubtful, "timed out mid-call");
    j.inDoubt("trade.in", "m-resolved", doubtful, "timed out mid-call");
    ASSERT_TRUE(j.flush());
  }
  auto db = sqldb::isPostgresLocation(location) ? sqldb::openPostgres(location) : sqldb::openSqlite(location, false);
  db->exec("UPDATE requests SET state = 'resolved' WHERE message_id = 'm-resolved'");
  db->exec("UPDATE requests SET received_at = received_at - 10 * 86400000 WHERE message_id = 'm-received'");
}

class JournalToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/journal-tool-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "requests.db").string();
#ifdef MQB_JOURNAL_ON_POSTGRES
    if (!cluster->ready()) GTEST_FAIL() << cluster->reason();
    static int schemas = 0;
    schema_ = "t" + std::to_string(::getpid()) + "_" + std::to_string(++schemas);
    sqldb::openPostgres(cluster->uri())->exec("CREATE SCHEMA " + schema_);
#endif
  }
  void TearDown() override { fs::remove_all(dir_); }

#ifdef MQB_JOURNAL_ON_POSTGRES
  std::string location() const { return cluster->uri(schema_); }
  // The same journal, with the password left to libpq's other sources.
  std::string locationWithoutPassword() const {
    return "postgresql://" + cluster->env("PGUSER") + "@127.0.0.1:" + cluster->env("PGPORT") + "/" +
           cluster->env("PGDATABASE") + "?sslmode=disable&options=-csearch_path%3D" + schema_;
  }
  std::string key() const { return (dir_ / "shared.key").string(); }
  std::string schema_;
#else
  std::string location() const { return path_; }
  std::string key() const { return std::string(); }
#endif
  // As the tool names the journal.
  std::string shown() const { return sqldb::locationForLog(location()); }
  std::unique_ptr<sqldb::Connection> raw() const {
    return kOnServer ? sqldb::openPostgres(location()) : sqldb::openSqlite(path_, false);
  }

  void fill() { fillJournal(location(), key()); }

  std::string state(const std::string& messageId) const {
    auto db = raw();
    sqldb::Statement q(*db, "SELECT state FROM requests WHERE message_id = ?");
    q.bind(1, messageId);
    return q.step() ? q.text(0) : "";
  }

  // What the journal holds: its files (an SQLite journal leaves none of its
  // own beside it while closed), or every row of its tables.
  std::map<std::string, std::string> contents() const {
    if (!kOnServer) return snapshot(dir_);
    auto db = raw();
    const std::pair<const char*, std::string> tables[] = {
        {"requests", std::string("SELECT ") + journalschema::kColumns + " FROM requests ORDER BY id"},
        {"history", "SELECT request_id, at, state, owner, note FROM history ORDER BY request_id, at, seq"},
        {"leases", "SELECT owner, place, renewed_at, active FROM leases ORDER BY owner"},
        {"journal_meta", "SELECT name, value FROM journal_meta ORDER BY name"}};
    const int columns[] = {22, 5, 4, 2};
    std::map<std::string, std::string> out;
    for (int t = 0; t < 4; ++t)
      for (const std::string& row : rowsOf(*db, tables[t].second, columns[t])) out[tables[t].first] += row + "\n";
    return out;
  }

  fs::path dir_;
  std::string path_;
};

}  // namespace journaltool
