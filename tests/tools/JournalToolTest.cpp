// mqbridge-journal: what it lists, shows and resolves, and that it leaves a
// journal alone unless told to resolve; on either backend the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bus/RequestJournal.h"
#include "support/SqlDb.h"
#include "support/Sqlite.h"
#include "tests/tools/JournalToolFixture.h"

namespace journaltool {
namespace {

TEST_F(JournalToolTest, ListsExactlyTheRequestsToReconcileAndChangesNothing) {
  fill();
  const auto before = contents();
  if (!kOnServer) {
    ASSERT_EQ(before.size(), 2u);  // the journal and its digest key: no process has it open
  }

  const Outcome r = tool({"--journal", location(), "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.err).front(), "mqbridge-journal: journal " + shown());
  const auto out = lines(r.out);
  ASSERT_EQ(out.size(), 4u) << r.out;  // heading and three requests
  for (const char* id : {"m-started", "m-done", "m-doubt"}) EXPECT_TRUE(listed(r, id)) << id;
  for (const char* id : {"m-received", "m-confirmed", "m-acked", "m-resolved"}) EXPECT_FALSE(listed(r, id)) << id;
  std::string started;
  for (const auto& line : out)
    if (line.find(" m-started ") != std::string::npos) started = line;
  for (const char* field : {" started ", " trade.in ", " trade ", " corr-m-started ", " serial-m-started ", " 1001 ",
                            " 250.5 ", "elsewhere/1/1"})
    EXPECT_NE(started.find(field), std::string::npos) << field << " in: " << started;

  EXPECT_EQ(tool({"--journal", location()}).out, r.out);  // list is the default

  const Outcome all = tool({"--journal", location(), "list", "--all"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(lines(all.out).size(), 8u) << all.out;
  const Outcome recent = tool({"--journal", location(), "list", "--all", "--since", "5"});
  EXPECT_EQ(lines(recent.out).size(), 7u) << recent.out;
  EXPECT_FALSE(listed(recent, "m-received"));

  ASSERT_EQ(tool({"--journal", location(), "show", "m-doubt"}).status, 0);
  // SQLite: no -wal, no -shm, not a byte changed. PostgreSQL: not a row.
  EXPECT_EQ(contents(), before);

  // Read while the service has the journal open, too.
  RequestJournal open(location(), 7, "elsewhere/2/2", key());
  EXPECT_EQ(tool({"--journal", location(), "list"}).out, r.out);
}

TEST_F(JournalToolTest, SaysWhenNothingIsToReconcileAndFindsTheJournalAsTheServiceDoes) {
  fs::create_directories(dir_ / "run");
  fs::create_directories(dir_ / "journal");
  std::string journalKeys;
  if (kOnServer) {
    // The service's way: the URI without a password, which is in a file
    // named relative to the config's directory.
    { RequestJournal empty(location(), 7, "elsewhere/1/1", key()); }
#ifdef MQB_JOURNAL_ON_POSTGRES
    std::ofstream(dir_ / "journal" / "pg-password") << cluster->password() << "\n";
    journalKeys = R"(,"journal":")" + locationWithoutPassword() + R"(","journalPasswordFile":"../journal/pg-password")";
#endif
  } else {
    RequestJournal empty((dir_ / "journal" / "requests.db").string(), 7, "elsewhere/1/1");
  }
  std::ofstream(dir_ / "run" / "config.ini")
      << R"({"server":"s:443","login":1,"password":"p","userRecordCreate":"a","userRecordUpdate":"b",
             "userRecordPasswordUpdate":"c","tradeTransInfo":"d","userRecordCreateCallback":"e",
             "userRecordUpdateCallback":"f","userRecordPasswordUpdateCallback":"g","tradeTransInfoCallback":"h")"
      << journalKeys << "}";
  const fs::path was = fs::current_path();
  fs::current_path(dir_ / "run");
  const Outcome r = tool({});  // ./config.ini
  fs::current_path(was);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "nothing to reconcile\n");
  const std::string named = kOnServer ? shown() + " (journal of config.ini)"
                                      : std::string("../journal/requests.db (journalPath of config.ini)");
  EXPECT_EQ(lines(r.err).front(), "mqbridge-journal: journal " + named) << r.err;
  // From elsewhere: a relative path in the config is from the config's
  // directory, where the service runs, not from here.
  const std::string config = (dir_ / "run" / "config.ini").string();
  const Outcome away = tool({"--config", config});
  ASSERT_EQ(away.status, 0) << away.err;
  EXPECT_EQ(away.out, "nothing to reconcile\n");
  if (!kOnServer) {
    EXPECT_NE(away.err.find((dir_ / "run").string() + "/../journal/requests.db"), std::string::npos) << away.err;
  }
  EXPECT_NE(away.err.find("(journal" + std::string(kOnServer ? "" : "Path") + " of " + config + ")"), std::string::npos)
      << away.err;
}

TEST_F(JournalToolTest, ShowsEveryFieldAndTheHistoryWithPasswordsMasked) {
  fill();
  const Outcome byMessage = tool({"--journal", location(), "show", "m-doubt"});
  ASSERT_EQ(byMessage.status, 0) << byMessage.err;
  const std::string& out = byMessage.out;
  for (const char* secret : {"s3cret", "hunter2"}) EXPECT_EQ(out.find(secret), std::string::npos) << out;
  EXPECT_NE(out.find(R"(reply: {"code":-1001,"msg":"fail","newPass":"***","user":{"password":"***"}})"),
            std::string::npos)
      << out;
  for (const char* field : {"state: in_doubt", "queue: trade.in", "message id: m-doubt", "correlation id: corr-m-doubt",
                            "serial: serial-m-doubt", "login: 1002", "amount: -3", "note: timed out mid-call"})
    EXPECT_NE(out.find(std::string(field) + "\n"), std::string::npos) << field << " in:\n" << out;
  const auto all = lines(out);
  const auto history = std::find(all.begin(), all.end(), "history:");
  ASSERT_EQ(all.end() - history, 4) << out;
  const char* steps[] = {"  received  elsewhere/1/1  corr-m-doubt", "  started  elsewhere/1/1",
                         "  in_doubt  elsewhere/1/1  timed out mid-call"};
  for (int i = 0; i < 3; ++i) EXPECT_NE(history[i + 1].find(steps[i]), std::string::npos) << history[i + 1];

  const std::string rowId = all.front().substr(std::string("id: ").size());
  EXPECT_EQ(tool({"--journal", location(), "show", rowId}).out, out);

  const Outcome unknown = tool({"--journal", location(), "show", "m-nowhere"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(lines(unknown.err).back(), "mqbridge-journal: no request m-nowhere in " + shown());
}

TEST_F(JournalToolTest, ResolvesOnlyARequestInDoubt) {
  fill();
  const Outcome done = tool({"--journal", location(), "show", "m-done"});
  for (const char* id : {"m-done", "m-started", "m-acked", "m-resolved"}) {
    const Outcome r = tool({"--journal", location(), "resolve", id, "--note", "checked"});
    EXPECT_EQ(r.status, 1) << id;
    EXPECT_NE(lines(r.err).back().find("in_doubt"), std::string::npos) << r.err;
  }
  EXPECT_EQ(tool({"--journal", location(), "show", "m-done"}).out, done.out);  // history untouched too
  EXPECT_EQ(state("m-resolved"), "resolved");

  // Another process writing (SQLite: holding the write lock; PostgreSQL:
  // the row): resolve waits, then gives up saying so.
  {
    auto other = raw();
    other->begin();
    other->exec("UPDATE requests SET note = note WHERE message_id = 'm-doubt'");
    const Outcome busy = tool({"--journal", location(), "resolve", "m-doubt", "--note", "checked"}, 100);
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(lines(busy.err).back(),
              "mqbridge-journal: " + shown() + ": the journal is busy (another process holds its lock); try again");
    other->rollback();
  }
  EXPECT_EQ(state("m-doubt"), "in_doubt");

  const Outcome r = tool({"--journal", location(), "resolve", "m-doubt", "--note", "deal 77 found on the server"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("request ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("(message m-doubt on trade.in) resolved\n"), std::string::npos) << r.out;
  EXPECT_EQ(state("m-doubt"), "resolved");
  const auto shown = lines(tool({"--journal", location(), "show", "m-doubt"}).out);
  EXPECT_NE(shown.back().find("  resolved  operator  deal 77 found on the server"), std::string::npos) << shown.back();
  EXPECT_FALSE(listed(tool({"--journal", location(), "list"}), "m-doubt"));
  const Outcome again = tool({"--journal", location(), "resolve", "m-doubt", "--note", "again"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(lines(again.err).back().find(" is resolved, not in_doubt"), std::string::npos) << again.err;
  EXPECT_EQ(tool({"--journal", location(), "resolve", "m-doubt"}).status, 2);  // no note
}

TEST_F(JournalToolTest, RefusesAJournalOfANewerVersionAndLeavesItAlone) {
  fill();
  raw()->exec(kOnServer ? "UPDATE journal_meta SET value = '99' WHERE name = 'version'" : "PRAGMA user_version = 99");
  const auto before = contents();
  for (const Outcome& r : {tool({"--journal", location(), "list"}), tool({"--journal", location(), "show", "m-doubt"}),
                           tool({"--journal", location(), "resolve", "m-doubt", "--note", "x"})}) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(lines(r.err).size(), 2u) << r.err;
    EXPECT_EQ(lines(r.err).back(),
              "mqbridge-journal: " + shown() + ": written by a newer version of the service (journal schema 99)");
  }
  EXPECT_EQ(contents(), before);
}

#ifndef MQB_JOURNAL_ON_POSTGRES
TEST_F(JournalToolTest, RefusesWhatIsNotAJournalAndCreatesNothing) {
  const std::string missing = (dir_ / "none" / "requests.db").string();
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"list"}, {"show", "1"}, {"resolve", "1", "--note", "x"}}) {
    std::vector<std::string> args = {"--journal", missing};
    args.insert(args.end(), command.begin(), command.end());
    const Outcome r = tool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).back(), "mqbridge-journal: no journal at " + missing);
  }
  EXPECT_TRUE(fs::is_empty(dir_));

  std::ofstream(dir_ / "notes.txt") << "not a database at all, just some words about the journal\n";
  {
    sqlite::Connection other((dir_ / "other.db").string(), sqlite::Connection::Open::Create);
    other.exec("PRAGMA journal_mode=DELETE; CREATE TABLE requests (id INTEGER PRIMARY KEY)");
  }
  const auto before = snapshot(dir_);
  for (const char* file : {"notes.txt", "other.db"}) {
    const std::string path = (dir_ / file).string();
    for (const Outcome& r :
         {tool({"--journal", path, "list"}), tool({"--journal", path, "resolve", "1", "--note", "x"})}) {
      EXPECT_EQ(r.status, 1) << file;
      EXPECT_EQ(lines(r.err).size(), 2u) << r.err;  // which file, and why not
      EXPECT_NE(lines(r.err).back().find(path + ": not a journal"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(snapshot(dir_), before);
}

TEST(JournalToolUsage, RefusesBadUsageAndHelps) {
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{{"purge"},
                                                                                   {"show"},
                                                                                   {"show", "1", "2"},
                                                                                   {"list", "3"},
                                                                                   {"list", "--since", "3"},
                                                                                   {"list", "--all", "--since", "x"},
                                                                                   {"show", "1", "--all"},
                                                                                   {"list", "--note", "x"},
                                                                                   {"--journal"},
                                                                                   {"--verbose"}}) {
    const Outcome r = tool(bad);
    EXPECT_EQ(r.status, 2) << bad.front();
    EXPECT_NE(r.err.find("usage: mqbridge-journal"), std::string::npos);
  }
  const Outcome help = tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: mqbridge-journal [--journal PATH|URI]", 0), 0u);
  EXPECT_NE(help.out.find("postgresql://"), std::string::npos);
}
#endif

}  // namespace
}  // namespace journaltool
