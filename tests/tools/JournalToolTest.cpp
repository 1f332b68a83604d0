// mqbridge-journal: what it lists, shows and resolves, and that it leaves a
// journal alone unless told to resolve.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bus/RequestJournal.h"
#include "support/Sqlite.h"
#include "tools/JournalTool.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome tool(const std::vector<std::string>& args, int busyTimeoutMs = 2000) {
  std::ostringstream out, err;
  Outcome r;
  r.status = runJournalTool(args, out, err, busyTimeoutMs);
  r.out = out.str();
  r.err = err.str();
  return r;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Every file in dir and its bytes.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& f : fs::recursive_directory_iterator(dir)) {
    std::ifstream in(f.path(), std::ios::binary);
    files[f.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

class JournalToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/journal-tool-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "requests.db").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // One request in each state of its life; the journal is closed after.
  void fill() {
    RequestJournal j(path_, 7, "elsewhere/1/1");
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
    sqlite::Connection db(path_, sqlite::Connection::Open::ReadWrite);
    db.exec("UPDATE requests SET state = 'resolved' WHERE message_id = 'm-resolved'");
    db.exec("UPDATE requests SET received_at = received_at - 10 * 86400000 WHERE message_id = 'm-received'");
  }

  std::string state(const std::string& messageId) {
    sqlite::Connection db(path_, sqlite::Connection::Open::ReadOnly);
    sqlite::Statement q(db, "SELECT state FROM requests WHERE message_id = ?");
    q.bind(1, messageId);
    return q.step() ? q.text(0) : "";
  }

  fs::path dir_;
  std::string path_;
};

bool listed(const Outcome& r, const std::string& messageId) {
  return r.out.find(" " + messageId + " ") != std::string::npos;
}

TEST_F(JournalToolTest, ListsExactlyTheRequestsToReconcileAndChangesNothing) {
  fill();
  const auto before = snapshot(dir_);
  ASSERT_EQ(before.size(), 2u);  // the journal and its digest key: no process has it open

  const Outcome r = tool({"--journal", path_, "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("journal " + path_), std::string::npos);
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

  EXPECT_EQ(tool({"--journal", path_}).out, r.out);  // list is the default

  const Outcome all = tool({"--journal", path_, "list", "--all"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(lines(all.out).size(), 8u) << all.out;
  const Outcome recent = tool({"--journal", path_, "list", "--all", "--since", "5"});
  EXPECT_EQ(lines(recent.out).size(), 7u) << recent.out;
  EXPECT_FALSE(listed(recent, "m-received"));

  ASSERT_EQ(tool({"--journal", path_, "show", "m-doubt"}).status, 0);
  EXPECT_EQ(snapshot(dir_), before);  // no -wal, no -shm, not a byte changed

  // Read while the service has the journal open, too.
  RequestJournal open(path_, 7, "elsewhere/2/2");
  EXPECT_EQ(tool({"--journal", path_, "list"}).out, r.out);
}

TEST_F(JournalToolTest, SaysWhenNothingIsToReconcileAndFindsTheJournalAsTheServiceDoes) {
  fs::create_directories(dir_ / "run");
  fs::create_directories(dir_ / "journal");
  { RequestJournal empty((dir_ / "journal" / "requests.db").string(), 7, "elsewhere/1/1"); }
  std::ofstream(dir_ / "run" / "config.ini")
      << R"({"server":"s:443","login":1,"password":"p","userRecordCreate":"a","userRecordUpdate":"b",
             "userRecordPasswordUpdate":"c","tradeTransInfo":"d","userRecordCreateCallback":"e",
             "userRecordUpdateCallback":"f","userRecordPasswordUpdateCallback":"g","tradeTransInfoCallback":"h"})";
  const fs::path was = fs::current_path();
  fs::current_path(dir_ / "run");
  const Outcome r = tool({});  // ./config.ini, its default journalPath
  fs::current_path(was);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "nothing to reconcile\n");
  EXPECT_NE(r.err.find("../journal/requests.db"), std::string::npos) << r.err;
  // From elsewhere: the relative journalPath is from the config's
  // directory, where the service runs, not from here.
  const Outcome away = tool({"--config", (dir_ / "run" / "config.ini").string()});
  ASSERT_EQ(away.status, 0) << away.err;
  EXPECT_EQ(away.out, "nothing to reconcile\n");
  EXPECT_NE(away.err.find((dir_ / "run").string() + "/../journal/requests.db"), std::string::npos) << away.err;
}

TEST_F(JournalToolTest, ShowsEveryFieldAndTheHistoryWithPasswordsMasked) {
  fill();
  const Outcome byMessage = tool({"--journal", path_, "show", "m-doubt"});
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
  EXPECT_EQ(tool({"--journal", path_, "show", rowId}).out, out);

  const Outcome unknown = tool({"--journal", path_, "show", "m-nowhere"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(lines(unknown.err).back(), "mqbridge-journal: no request m-nowhere in " + path_);
}

TEST_F(JournalToolTest, ResolvesOnlyARequestInDoubt) {
  fill();
  const Outcome done = tool({"--journal", path_, "show", "m-done"});
  for (const char* id : {"m-done", "m-started", "m-acked", "m-resolved"}) {
    const Outcome r = tool({"--journal", path_, "resolve", id, "--note", "checked"});
    EXPECT_EQ(r.status, 1) << id;
    EXPECT_NE(lines(r.err).back().find("in_doubt"), std::string::npos) << r.err;
  }
  EXPECT_EQ(tool({"--journal", path_, "show", "m-done"}).out, done.out);  // history untouched too
  EXPECT_EQ(state("m-resolved"), "resolved");

  // Another process writing: resolve waits, then gives up saying so.
  {
    sqlite::Connection other(path_, sqlite::Connection::Open::ReadWrite);
    sqlite::Transaction holding(other);
    const Outcome busy = tool({"--journal", path_, "resolve", "m-doubt", "--note", "checked"}, 100);
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(lines(busy.err).back().find("busy"), std::string::npos) << busy.err;
  }
  EXPECT_EQ(state("m-doubt"), "in_doubt");

  const Outcome r = tool({"--journal", path_, "resolve", "m-doubt", "--note", "deal 77 found on the server"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(state("m-doubt"), "resolved");
  const auto shown = lines(tool({"--journal", path_, "show", "m-doubt"}).out);
  EXPECT_NE(shown.back().find("  resolved  operator  deal 77 found on the server"), std::string::npos) << shown.back();
  EXPECT_FALSE(listed(tool({"--journal", path_, "list"}), "m-doubt"));
  EXPECT_EQ(tool({"--journal", path_, "resolve", "m-doubt", "--note", "again"}).status, 1);
  EXPECT_EQ(tool({"--journal", path_, "resolve", "m-doubt"}).status, 2);  // no note
}

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
  EXPECT_EQ(help.out.rfind("usage: mqbridge-journal", 0), 0u);
}

}  // namespace
