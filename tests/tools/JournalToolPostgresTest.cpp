// mqbridge-journal on a journal in PostgreSQL: what only a database server
// shows — its output the same as for a file, connecting (and failing to)
// without a password in sight, resolve racing the service, the server's
// clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus/ProcessOwner.h"
#include "bus/RequestJournal.h"
#include "support/SqlDb.h"
#include "tests/tools/JournalToolFixture.h"

namespace journaltool {
namespace {

// Sets an environment variable for a scope (unset: nullopt).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* was = std::getenv(name)) was_ = was;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (was_)
      ::setenv(name_, was_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> was_;
};

std::string lastLine(const Outcome& r) { return r.err.empty() ? "" : lines(r.err).back(); }

// Sets a journal's times to fixed values, the same for any backend.
void fixTimes(sqldb::Connection& db) {
  db.exec(
      "UPDATE requests SET received_at = 1700000000000 + id * 1000, "
      "started_at = CASE WHEN started_at = 0 THEN 0 ELSE 1700000000100 + id * 1000 END, "
      "done_at = CASE WHEN done_at = 0 THEN 0 ELSE 1700000000200 + id * 1000 END, "
      "confirmed_at = CASE WHEN confirmed_at = 0 THEN 0 ELSE 1700000000300 + id * 1000 END, "
      "acknowledged_at = CASE WHEN acknowledged_at = 0 THEN 0 ELSE 1700000000400 + id * 1000 END");
  // One millisecond for every line of a request: their order is the order
  // they were written in.
  db.exec("UPDATE history SET at = 1700000000000 + request_id * 1000");
}

TEST_F(JournalToolTest, ListsAndShowsExactlyAsForAnSqliteJournal) {
  fill();
  fillJournal(path_, "");
  fixTimes(*raw());
  fixTimes(*sqldb::openSqlite(path_, false));
  const std::vector<std::vector<std::string>> commands = {
      {"list"}, {"list", "--all"}, {"show", "m-doubt"}, {"show", "m-acked"}, {"show", "3"}, {"show", "m-nowhere"}};
  for (const auto& command : commands) {
    std::vector<std::string> onServer = {"--journal", location()}, inFile = {"--journal", path_};
    onServer.insert(onServer.end(), command.begin(), command.end());
    inFile.insert(inFile.end(), command.begin(), command.end());
    const Outcome server = tool(onServer), file = tool(inFile);
    EXPECT_EQ(server.status, file.status) << command.back();
    EXPECT_EQ(server.out, file.out) << command.back();
    if (server.status == 0) {
      EXPECT_NE(server.out, "") << command.back();
    }
    std::string fileErr = lastLine(file), serverErr = lastLine(server);
    if (const size_t at = fileErr.find(path_); at != std::string::npos) fileErr.replace(at, path_.size(), shown());
    EXPECT_EQ(serverErr, fileErr) << command.back();
  }
}

TEST_F(JournalToolTest, ConnectErrorsNameTheReasonNeverThePassword) {
  const std::string port = cluster->env("PGPORT"), db = cluster->env("PGDATABASE"), user = cluster->env("PGUSER");
  const std::string wrong = "Wr0ngPassw0rd-" + std::to_string(::getpid());
  struct Case {
    std::string uri, reason;
  };
  const Case cases[] = {
      {"postgresql://" + user + ":" + wrong + "@127.0.0.1:" + port + "/" + db + "?sslmode=disable",
       "password authentication failed"},
      {"postgresql://" + user + "@127.0.0.1:" + port + "/" + db + "?sslmode=disable&password=" + wrong,
       "password authentication failed"},
      {"postgres://" + user + ":" + cluster->password() + "@127.0.0.1:" + port + "/no_such_db?sslmode=disable",
       "does not exist"},
      // Nothing listens on port 1: libpq says so over two lines.
      {"postgresql://" + user + ":" + cluster->password() + "@127.0.0.1:1/" + db + "?sslmode=disable",
       "Connection refused"},
  };
  for (const Case& c : cases) {
    for (const char* command : {"list", "show"}) {
      std::vector<std::string> args = {"--journal", c.uri, command};
      if (std::string(command) == "show") args.push_back("1");
      const Outcome r = tool(args);
      EXPECT_EQ(r.status, 1) << c.uri;
      EXPECT_EQ(r.out, "");
      ASSERT_EQ(lines(r.err).size(), 2u) << r.err;  // which journal, and why not
      EXPECT_EQ(lines(r.err).front(), "mqbridge-journal: journal " + sqldb::locationForLog(c.uri));
      EXPECT_EQ(lastLine(r).rfind("mqbridge-journal: " + sqldb::locationForLog(c.uri) + ": cannot connect", 0), 0u)
          << r.err;
      EXPECT_NE(lastLine(r).find(c.reason), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find(wrong), std::string::npos) << r.err;
    }
  }
}

TEST_F(JournalToolTest, TakesThePasswordFromLibpqsSources) {
  fill();
  const ScopedEnv noPassword("PGPASSWORD", std::nullopt);
  {
    const ScopedEnv noFile("PGPASSFILE", (dir_ / "none").string());
    const Outcome r = tool({"--journal", locationWithoutPassword(), "list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(lastLine(r).find("cannot connect"), std::string::npos) << r.err;
  }
  {
    const ScopedEnv file("PGPASSFILE", cluster->env("PGPASSFILE"));
    const Outcome r = tool({"--journal", locationWithoutPassword(), "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(listed(r, "m-doubt")) << r.out;
  }
  {
    const ScopedEnv noFile("PGPASSFILE", (dir_ / "none").string());
    const ScopedEnv variable("PGPASSWORD", cluster->password());
    const Outcome r = tool({"--journal", locationWithoutPassword(), "show", "m-doubt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("state: in_doubt\n"), std::string::npos) << r.out;
  }
}

TEST_F(JournalToolTest, PasswordFileOfTheConfigIsReadAsTheServiceReadsIt) {
  fill();
  const ScopedEnv noPassword("PGPASSWORD", std::nullopt);
  const ScopedEnv noFile("PGPASSFILE", (dir_ / "none").string());
  const auto config =
      [&](const std::string& passwordFile) {
        std::ofstream(dir_ / "config.ini")
            << R"({"server":"s:443","login":1,"password":"p","userRecordCreate":"a","userRecordUpdate":"b",
               "userRecordPasswordUpdate":"c","tradeTransInfo":"d","userRecordCreateCallback":"e",
               "userRecordUpdateCallback":"f","userRecordPasswordUpdateCallback":"g","tradeTransInfoCallback":"h",
               "journal":")"
            << locationWithoutPassword() << R"(","journalPasswordFile":")" << passwordFile << R"("})";
        return (dir_ / "config.ini").string();
      };
  // A password that needs encoding in a URI, refused: never printed.
  const std::string wrong = "n0t it&x=1 %" + std::to_string(::getpid());
  std::ofstream(dir_ / "wrong") << wrong << "\nsecond line\n";
  const Outcome refused = tool({"--config", config("wrong"), "list"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(lastLine(refused).find("password authentication failed"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find(wrong), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("n0t"), std::string::npos) << refused.err;

  const Outcome missing = tool({"--config", config("none"), "list"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(lastLine(missing), "mqbridge-journal: \"journalPasswordFile\" " + (dir_ / "none").string() +
                                   ": cannot be read, or its first line is empty");

  std::ofstream(dir_ / "right") << cluster->password() << "\n";
  const Outcome r = tool({"--config", config("right"), "resolve", "m-doubt", "--note", "checked"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(state("m-doubt"), "resolved");
}

TEST_F(JournalToolTest, RefusesADatabaseWithoutTheJournalAndCreatesNothing) {
  auto db = raw();
  const auto tables = [&] {
    sqldb::Statement q(*db, "SELECT count(*) FROM information_schema.tables WHERE table_schema = ?");
    q.bind(1, schema_);
    return q.step() ? q.int64(0) : -1;
  };
  for (int round = 0; round < 2; ++round) {
    // Empty at first; then a table of that name that is not the journal's.
    if (round == 1) db->exec("CREATE TABLE requests (id BIGINT PRIMARY KEY)");
    const int64_t before = tables();
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"list"}, {"show", "1"}, {"resolve", "1", "--note", "x"}}) {
      std::vector<std::string> args = {"--journal", location()};
      args.insert(args.end(), command.begin(), command.end());
      const Outcome r = tool(args);
      EXPECT_EQ(r.status, 1);
      ASSERT_EQ(lines(r.err).size(), 2u) << r.err;
      EXPECT_EQ(lastLine(r), "mqbridge-journal: " + shown() +
                                 ": not a journal (no requests and history tables of the service in that database "
                                 "and schema)");
    }
    EXPECT_EQ(tables(), before);
  }
}

// Waits (bounded) until a backend waits for a lock in an UPDATE of
// requests' state: the tool's resolve, stopped by the row another holds.
bool resolveWaitsForTheRow() {
  auto watcher = sqldb::openPostgres(cluster->uri());
  for (int i = 0; i < 3000; ++i) {
    sqldb::Statement q(*watcher,
                       "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                       "AND query LIKE 'UPDATE requests SET state%'");
    if (q.step() && q.int64(0) > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(JournalToolTest, ResolveIsACompareAndSetAgainstWhatTheServiceCommits) {
  fill();
  struct Case {
    const char* change;  // what another process commits meanwhile
    bool resolved;       // whether the tool's resolve is then made
  };
  // The service noting a confirmation of the in-doubt reply: the row stays
  // in doubt and is read again. Another operator resolving it first: refused.
  const Case cases[] = {{"UPDATE requests SET confirmed_at = 123 WHERE message_id = 'm-doubt'", true},
                        {"UPDATE requests SET state = 'resolved' WHERE message_id = 'm-doubt'", false}};
  for (const Case& c : cases) {
    raw()->exec("UPDATE requests SET state = 'in_doubt', confirmed_at = 0 WHERE message_id = 'm-doubt'");
    raw()->exec("DELETE FROM history WHERE owner = 'operator'");
    auto other = raw();
    other->begin();
    other->exec(c.change);
    Outcome r;
    std::thread resolving([&] {
      r = tool({"--journal", location(), "resolve", "m-doubt", "--note", "checked"}, 30000);
    });
    const bool waited = resolveWaitsForTheRow();
    other->commit();
    resolving.join();
    ASSERT_TRUE(waited) << "resolve never waited for the row";
    EXPECT_EQ(state("m-doubt"), "resolved") << c.change;
    const auto operatorLines =
        rowsOf(*raw(), "SELECT note FROM history WHERE owner = 'operator' AND state = 'resolved'", 1);
    if (c.resolved) {
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(operatorLines, std::vector<std::string>{"checked|"});
      EXPECT_EQ(rowsOf(*raw(), "SELECT confirmed_at FROM requests WHERE message_id = 'm-doubt'", 1),
                std::vector<std::string>{"123|"});  // the service's change kept
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(lastLine(r).find(" is resolved, not in_doubt"), std::string::npos) << r.err;
      EXPECT_TRUE(operatorLines.empty());
    }
  }
}

TEST_F(JournalToolTest, TellsOwnersOnTheDatabasesClock) {
  fill();
  // A live process on another host: its lease renewed just now here.
  const std::string owner = "host-b/42/4242/n0nce";
  auto db = raw();
  sqldb::Statement(*db, "INSERT INTO leases (owner, place, renewed_at) VALUES (?, 'another-place', ?)")
      .bind(1, owner)
      .bind(2, journalNowMs())
      .run();
  sqldb::Statement(*db, "UPDATE requests SET owner = ? WHERE message_id = 'm-started'").bind(1, owner).run();
  const Outcome here = tool({"--journal", location(), "list"});
  ASSERT_EQ(here.status, 0) << here.err;
  EXPECT_NE(here.out.find(owner + "(running)"), std::string::npos) << here.out;

  // The server's clock an hour ahead of this host's (its clock_timestamp()
  // shadowed in the journal's schema): that lease is an hour old there, and
  // the owner is gone.
  db->exec("CREATE FUNCTION " + schema_ +
           ".clock_timestamp() RETURNS timestamptz LANGUAGE sql AS "
           "'SELECT pg_catalog.clock_timestamp() + interval ''1 hour'''");
  const std::string ahead = cluster->uri(schema_ + ",pg_catalog");
  const Outcome there = tool({"--journal", ahead, "list"});
  ASSERT_EQ(there.status, 0) << there.err;
  EXPECT_NE(there.out.find(owner + "(gone)"), std::string::npos) << there.out;

  // What resolve writes is stamped on that clock too.
  ASSERT_EQ(tool({"--journal", ahead, "resolve", "m-doubt", "--note", "checked"}).status, 0);
  const auto at = rowsOf(*db, "SELECT at FROM history WHERE owner = 'operator'", 1);
  ASSERT_EQ(at.size(), 1u);
  EXPECT_GT(std::stoll(at.front()), journalNowMs() + 50 * 60 * 1000) << at.front();
}

}  // namespace
}  // namespace journaltool
