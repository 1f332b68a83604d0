// The request journal's transitions, leases and group commit, on a real
// SQLite file, and the delivery decisions they feed.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "bus/DeliveryPolicy.h"
#include "bus/RequestJournal.h"
#include "messages/PasswordUpdateRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "support/Json.h"
#include "support/PasswordMask.h"
#include "support/SqlDb.h"
#include "support/Sqlite.h"
#ifdef MQB_JOURNAL_ON_POSTGRES
#include "tests/support/PostgresCluster.h"
#endif
#include "tests/support/TempWorkDir.h"

namespace {

const std::string kQueue = "trade";

JournalEntry entryFor(const std::string& messageId, const std::string& serial = std::string()) {
  JournalEntry e;
  e.queue = kQueue;
  e.messageId = messageId;
  e.correlationId = "c-" + messageId;
  e.serial = serial;
  e.kind = "trade";
  e.login = 7;
  return e;
}

PlannedChange deposit(double amount, const std::string& comment = "Deposit") {
  PlannedChange c;
  c.kind = PlannedChange::Kind::PostDeal;
  c.login = 7;
  c.action = 2;
  c.amount = amount;
  c.comment = comment;
  return c;
}

#ifdef MQB_JOURNAL_ON_POSTGRES
testpg::Cluster* const cluster =
    static_cast<testpg::Cluster*>(::testing::AddGlobalTestEnvironment(new testpg::Cluster));
#endif

// The journal in an SQLite file of its own, or (built for PostgreSQL) in a
// schema of its own on the cluster; raw() opens it without the journal.
class RequestJournalTest : public ::testing::Test {
 protected:
#ifdef MQB_JOURNAL_ON_POSTGRES
  void SetUp() override {
    if (!cluster->ready()) GTEST_FAIL() << cluster->reason();
    static int schemas = 0;
    schema_ = "j" + std::to_string(::getpid()) + "_" + std::to_string(++schemas);
    sqldb::openPostgres(cluster->uri())->exec("CREATE SCHEMA " + schema_);
  }
  std::string path() const { return cluster->uri(schema_); }
  std::string key() const { return (dir.work() / "shared.key").string(); }
  std::unique_ptr<sqldb::Connection> raw() const { return sqldb::openPostgres(path()); }
  static constexpr bool kOnServer = true;
  std::string schema_;
#else
  std::string path() const { return (dir.work() / "journal" / "requests.db").string(); }
  std::string key() const { return std::string(); }
  std::unique_ptr<sqldb::Connection> raw() const { return sqldb::openSqlite(path(), false); }
  static constexpr bool kOnServer = false;
#endif
  TempWorkDir dir;
};

TEST_F(RequestJournalTest, EveryTransitionExpectsItsStateAndOwner) {
  RequestJournal first(path(), 7, "host/1/1/a", key());
  RequestJournal second(path(), 7, "host/2/2/b", key());
  first.received(entryFor("m1"));
  ASSERT_EQ(first.started(kQueue, "m1", deposit(10)), JournalWrite::Recorded);
  // Not its entry: nothing it records counts.
  EXPECT_EQ(second.started(kQueue, "m1", deposit(10)), JournalWrite::Refused);
  EXPECT_EQ(second.done(kQueue, "m1", "{}", 1, true), JournalWrite::Refused);

  // The second takes it over as it saw it and answers it in doubt; the
  // first, slow, then finishes its call: its done is refused and the
  // operator's entry stays as the second recorded it.
  const JournalEntry seen = *second.find(kQueue, "m1");
  second.takeOver(seen, "c-again");
  ASSERT_EQ(second.inDoubt(kQueue, "m1", "{\"code\":-1001}", "still in hand"), JournalWrite::Recorded);
  EXPECT_EQ(first.done(kQueue, "m1", "{\"code\":200}", 5, true), JournalWrite::Refused);
  const JournalEntry after = *first.find(kQueue, "m1");
  EXPECT_EQ(after.state, JournalState::InDoubt);
  EXPECT_EQ(after.reply, "{\"code\":-1001}");
  EXPECT_EQ(after.owner, "host/2/2/b");

  // A takeover that finds the entry changed since it was seen changes nothing.
  first.takeOver(seen, "c-late");
  first.flush();
  EXPECT_EQ(first.find(kQueue, "m1")->owner, "host/2/2/b");
  // A second delivery of a new message never takes its entry over.
  first.received(entryFor("m1"));
  first.flush();
  EXPECT_EQ(first.find(kQueue, "m1")->owner, "host/2/2/b");
}

TEST_F(RequestJournalTest, ASerialPastReceivedKeepsEveryOtherMessageWithItFromStarting) {
  RequestJournal a(path(), 7, "host/1/1/a", key());
  RequestJournal b(path(), 7, "host/2/2/b", key());
  a.received(entryFor("m1", "s-1"));
  b.received(entryFor("m2", "s-1"));
  b.received(entryFor("m3", "s-2"));
  ASSERT_EQ(a.started(kQueue, "m1", deposit(10), "s-1"), JournalWrite::Recorded);
  EXPECT_EQ(b.started(kQueue, "m2", deposit(10), "s-1"), JournalWrite::Refused);
  EXPECT_EQ(b.started(kQueue, "m3", deposit(10), "s-2"), JournalWrite::Recorded);
  // Without the guard serials are not looked at.
  EXPECT_EQ(b.started(kQueue, "m2", deposit(10)), JournalWrite::Recorded);

  // Resolved by an operator, a request no longer holds its serial.
  b.received(entryFor("m4", "s-2"));
  ASSERT_EQ(b.inDoubt(kQueue, "m3", "{}", "why"), JournalWrite::Recorded);
  EXPECT_EQ(b.started(kQueue, "m4", deposit(10), "s-2"), JournalWrite::Refused);
  raw()->exec("UPDATE requests SET state = 'resolved' WHERE message_id = 'm3'");
  EXPECT_EQ(b.started(kQueue, "m4", deposit(10), "s-2"), JournalWrite::Recorded);
}

TEST_F(RequestJournalTest, StartedAgainKeepsTheFirstAttemptsStart) {
  RequestJournal j(path(), 7, "host/1/1/a", key());
  j.received(entryFor("m1"));
  PlannedChange first = deposit(10);
  first.serverTimeMs = 1000;
  ASSERT_EQ(j.started(kQueue, "m1", first), JournalWrite::Recorded);
  const JournalEntry once = *j.find(kQueue, "m1");
  PlannedChange again = deposit(10);
  again.serverTimeMs = 5000;
  ASSERT_EQ(j.started(kQueue, "m1", again), JournalWrite::Recorded);
  const JournalEntry twice = *j.find(kQueue, "m1");
  EXPECT_EQ(twice.startedAt, once.startedAt);
  ASSERT_TRUE(twice.planned);
  EXPECT_EQ(twice.planned->serverTimeMs, 1000);
  EXPECT_EQ(j.attempts(twice.id), 1);  // one process, however often
}

TEST_F(RequestJournalTest, ClaimsAndRivalsAreWhatAnInDoubtCheckCannotTakeAsItsOwn) {
  RequestJournal j(path(), 7, "host/1/1/a", key());
  for (const char* id : {"settled", "doubtful", "cut", "other", "self"}) j.received(entryFor(id));
  ASSERT_EQ(j.started(kQueue, "settled", deposit(10)), JournalWrite::Recorded);
  ASSERT_EQ(j.done(kQueue, "settled", "{}", 41, true), JournalWrite::Recorded);
  ASSERT_EQ(j.started(kQueue, "doubtful", deposit(10)), JournalWrite::Recorded);
  ASSERT_EQ(j.inDoubt(kQueue, "doubtful", "{}", "why"), JournalWrite::Recorded);
  ASSERT_EQ(j.started(kQueue, "cut", deposit(10.000000001)), JournalWrite::Recorded);
  ASSERT_EQ(j.started(kQueue, "other", deposit(10, "Bonus")), JournalWrite::Recorded);

  EXPECT_TRUE(j.claimed("trade", 41, "self", "self"));
  EXPECT_FALSE(j.claimed("trade", 41, "settled", "self"));  // its own
  EXPECT_FALSE(j.claimed("create", 41, "self", "self"));    // a login, not a deal
  // The one in doubt without a deal and the one cut short (the same amount
  // as the server keeps it) could have made it; the settled one and the one
  // with another comment could not.
  const PlannedChange ten = deposit(10);
  EXPECT_EQ(j.rivals("trade", 7, &ten, "self", "self"), 2);
  EXPECT_EQ(j.rivals("trade", 7, &ten, "cut", "self"), 1);
  // Comments alike in what a deal record keeps are one comment there.
  const PlannedChange longer = deposit(10, std::string(63, 'c') + "-one");
  j.received(entryFor("long"));
  ASSERT_EQ(j.started(kQueue, "long", deposit(10, std::string(63, 'c') + "-two")), JournalWrite::Recorded);
  EXPECT_EQ(j.rivals("trade", 7, &longer, "self", "self"), 1);
  // A request with no record of its own cannot be told from any of them.
  EXPECT_EQ(j.rivals("trade", 7, nullptr, "self", "self"), 4);
  EXPECT_EQ(j.rivals("trade", 8, nullptr, "self", "self"), 0);
}

TEST_F(RequestJournalTest, ALeaseTellsWhetherAnOwnerLivesWhateverItsHostOrProcess) {
  std::string owner;
  {
    RequestJournal j(path(), 7, "elsewhere/1/1/x", key());
    owner = j.owner();
    RequestJournal other(path(), 7, "host/2/2/b", key());
    // A host name and pid that mean nothing here: alive while renewed.
    EXPECT_EQ(other.ownerState(owner), OwnerState::Alive);
    EXPECT_EQ(other.ownerState(other.owner()), OwnerState::ThisProcess);
    // A lease of another host or PID namespace: its age alone tells.
    const auto db = raw();
    auto lease = [&](const char* name, int64_t renewedAt) {
      sqldb::Statement(*db, "INSERT INTO leases (owner, place, renewed_at) VALUES (?, 'another place', ?)")
          .bind(1, name)
          .bind(2, renewedAt)
          .run();
    };
    lease("ghost/1/1/fresh", journalNowMs());
    lease("ghost/1/1/cut", journalNowMs() - kLeaseExpiryMs - 5000);
    lease("ghost/1/1/stale", journalNowMs() - kLeaseExpiryMs - kLongestCallMs - 5000);
    EXPECT_EQ(other.ownerState("ghost/1/1/fresh"), OwnerState::Alive);
    // Run out, but a call it began may still be under way.
    EXPECT_EQ(other.ownerState("ghost/1/1/cut"), OwnerState::CutOff);
    EXPECT_EQ(other.ownerState("ghost/1/1/stale"), OwnerState::Gone);

    // A process whose own lease ran out starts no change (held, not
    // refused), and does again once the lease is renewed.
    other.received(entryFor("fenced"));
    other.flush();
    sqldb::Statement(*db, "UPDATE leases SET renewed_at = ? WHERE owner = ?")
        .bind(1, journalNowMs() - kLeaseExpiryMs - 1000)
        .bind(2, other.owner())
        .run();
    EXPECT_EQ(other.started(kQueue, "fenced", deposit(1)), JournalWrite::Failed);
    sqldb::Statement(*db, "UPDATE leases SET renewed_at = ? WHERE owner = ?")
        .bind(1, journalNowMs())
        .bind(2, other.owner())
        .run();
    EXPECT_EQ(other.started(kQueue, "fenced", deposit(1)), JournalWrite::Recorded);

    // One serves the queues at a time: a stale holder's mark counts for
    // nothing, a live one's keeps a standby out unless it insists.
    db->exec("UPDATE leases SET active = 1 WHERE owner = 'ghost/1/1/stale'");
    EXPECT_TRUE(j.claimActive(false));
    EXPECT_FALSE(other.claimActive(false));
    EXPECT_TRUE(other.claimActive(true));
  }
  RequestJournal later(path(), 7, "host/3/3/c", key());
  EXPECT_EQ(later.ownerState(owner), OwnerState::Gone);  // stopped: its lease was given back
  EXPECT_TRUE(later.claimActive(false));
}

#ifndef MQB_JOURNAL_ON_POSTGRES
TEST_F(RequestJournalTest, OneFailingChangeOfABatchUndoesNoOther) {
  auto db = sqldb::openSqlite(path().substr(0, path().rfind('/')) + ".db", true);
  db->exec("CREATE TABLE t (v INTEGER)");
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  JournalWriter writer(std::move(db), nullptr);
  // Holds the writer so that the next three go in one batch.
  writer.write([&](sqldb::Connection&) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return release; });
  });
  bool a = false, b = true, c = false;
  std::mutex results;
  std::condition_variable told;
  int count = 0;
  auto done = [&](bool& slot) {
    return [&](bool ok) {
      std::lock_guard<std::mutex> lock(results);
      slot = ok;
      ++count;
      told.notify_all();
    };
  };
  writer.writeDurably([](sqldb::Connection& d) { d.exec("INSERT INTO t VALUES (1)"); }, done(a));
  writer.writeDurably([](sqldb::Connection& d) { d.exec("INSERT INTO missing VALUES (2)"); }, done(b));
  writer.writeDurably([](sqldb::Connection& d) { d.exec("INSERT INTO t VALUES (3)"); }, done(c));
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  std::unique_lock<std::mutex> lock(results);
  told.wait(lock, [&] { return count == 3; });
  EXPECT_TRUE(a);
  EXPECT_FALSE(b);
  EXPECT_TRUE(c);

  // A change nobody waits for does not wake the writer, yet it is committed
  // on its own before long, seen by another connection.
  writer.write([](sqldb::Connection& d) { d.exec("INSERT INTO t VALUES (4)"); });
  auto reader = sqldb::openSqlite(path().substr(0, path().rfind('/')) + ".db", false);
  bool seen = false;
  for (int i = 0; i < 500 && !seen; ++i) {
    sqldb::Statement q(*reader, "SELECT count(*) FROM t WHERE v = 4");
    seen = q.step() && q.int64(0) == 1;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(seen) << "a lone change was not committed within 5 s";
}

#endif

TEST_F(RequestJournalTest, NoPasswordIsKeptAndAReplayGetsTheOriginalBytesBack) {
  // Passwords as a back office may write them: escapes, non-ASCII, a number.
  const std::string createText =
      R"({"login":9,"name":"N","masterPass":"M\"a\\s\u00e9 1","investorPass":123456,"serial":"s"})";
  const std::string passwordText = R"({"login":9,"type":1,"masterPass":"Old#1","newPass":"N\u20acw#2"})";
  Json::Value create, password;
  ASSERT_TRUE(parseJson(createText, create));
  ASSERT_TRUE(parseJson(passwordText, password));
  const std::string createReply = UserRecordCreateRequest(create).BuildReply();
  const std::string passwordReply = PasswordUpdateRequest(password).BuildReply(-1001);
  {
    RequestJournal journal(path(), 7, "host/1/1/a", key());
    journal.received(entryFor("c1"));
    journal.received(entryFor("p1"));
    ASSERT_EQ(journal.done(kQueue, "c1", createReply, 9, true), JournalWrite::Recorded);
    ASSERT_EQ(journal.inDoubt(kQueue, "p1", passwordReply, "why"), JournalWrite::Recorded);
    for (const auto& [id, reply, request] :
         {std::tuple{"c1", createReply, create}, std::tuple{"p1", passwordReply, password}}) {
      const std::string stored = journal.find(kQueue, id)->reply;
      EXPECT_EQ(stored, maskPasswords(reply));
      EXPECT_EQ(restorePasswords(stored, request), reply) << id;
    }
    // The digest beside the reply is keyed: a journal alone tests no guess.
    const std::string keyed = journal.digest(createText);
    EXPECT_EQ(keyed.rfind("k1:", 0), 0u);
    EXPECT_EQ(keyed.find(requestDigest(createText)), std::string::npos);
    EXPECT_TRUE(sameDigest(keyed, keyed, createText));
    EXPECT_TRUE(sameDigest(requestDigest(createText), keyed, createText));  // kept before digests were keyed
    EXPECT_FALSE(sameDigest(requestDigest(passwordText), keyed, createText));
    EXPECT_FALSE(sameDigest(journal.digest(passwordText), keyed, createText));
    EXPECT_EQ(RequestJournal(path(), 7, "host/2/2/b", key()).digest(createText), keyed);  // one key per journal
    // Another request's passwords are not this one's.
    Json::Value other = create;
    other["masterPass"] = "Else";
    EXPECT_NE(restorePasswords(journal.find(kQueue, "c1")->reply, other), createReply);
    journal.flush();
    // Nowhere in what the journal keeps: neither password, in any form the
    // texts carried it.
    const auto db = raw();
    sqldb::Statement all(*db,
                         "SELECT coalesce(reply, '') || coalesce(plan, '') || note || digest || correlation_id "
                         "FROM requests UNION ALL SELECT note FROM history");
    while (all.step()) {
      for (const char* secret : {"123456", "Old#1", "\\u20acw#2", "N\u20acw#2", "1 \"", "as\\u00e9", "as\u00e9"})
        EXPECT_EQ(all.text(0).find(secret), std::string::npos) << secret << " in " << all.text(0);
    }
  }
  if (kOnServer) {
    // Hosts sharing the journal share its key: another key is refused, as
    // its digests would never compare.
    const std::string otherKey = (dir.work() / "other.key").string();
    EXPECT_THROW(RequestJournal(path(), 7, "host/3/3/c", otherKey), JournalError);
    return;
  }
  // A journal written before replies were masked is masked when opened.
  {
    sqlite::Connection db(path(), sqlite::Connection::Open::ReadWrite);
    sqlite::Statement(db, "UPDATE requests SET reply = ? WHERE message_id = 'c1'").bind(1, createReply).run();
    db.exec("PRAGMA user_version = 2");
    // Not while a process of that version may still use it.
    sqlite::Statement(db, "INSERT INTO leases (owner, place, renewed_at) VALUES ('old/1/1/x', 'another place', ?)")
        .bind(1, journalNowMs())
        .run();
    EXPECT_THROW(RequestJournal(path(), 7, "host/1/1/a", key()), JournalError);
    db.exec("DELETE FROM leases WHERE owner = 'old/1/1/x'");
  }
  RequestJournal reopened(path(), 7, "host/1/1/a", key());
  EXPECT_EQ(reopened.find(kQueue, "c1")->reply, maskPasswords(createReply));
  sqlite::Connection db(path(), sqlite::Connection::Open::ReadWrite);
  sqlite::Statement version(db, "PRAGMA user_version");
  ASSERT_TRUE(version.step());
  EXPECT_EQ(version.int64(0), journalschema::kVersion);
}

#ifdef MQB_JOURNAL_ON_POSTGRES
TEST_F(RequestJournalTest, ConnectionsTheServerDropsAreOpenedAgain) {
  RequestJournal j(path(), 7, "host/1/1/a", key());
  j.received(entryFor("m1"));
  ASSERT_TRUE(j.flush());
  // As a server restart does to every connection of the journal.
  raw()->exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid() "
      "AND datname = current_database()");
  ASSERT_TRUE(j.find(kQueue, "m1"));  // the reader: at once, on a new connection
  // The writer: a batch on the dropped connection fails whole (nobody knows
  // whether it was committed), the next one opens a new connection.
  JournalWrite started = JournalWrite::Failed;
  for (int i = 0; i < 50 && started != JournalWrite::Recorded; ++i) {
    j.received(entryFor("m2"));
    started = j.started(kQueue, "m2", deposit(1));
    if (started != JournalWrite::Recorded) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(started, JournalWrite::Recorded);
  EXPECT_TRUE(j.writable());
  EXPECT_EQ(j.attempts(j.find(kQueue, "m2")->id), 1);

  // Over TLS, the server's certificate checked against its name.
  std::string tls = path();
  tls.replace(tls.find("sslmode=disable"), 15, "sslmode=verify-full&sslrootcert=" + cluster->env("PG_CA_FILE"));
  RequestJournal secured(tls, 7, "host/2/2/b", key());
  secured.received(entryFor("m3"));
  ASSERT_EQ(secured.started(kQueue, "m3", deposit(1)), JournalWrite::Recorded);
  const auto db = raw();
  sqldb::Statement ssl(*db,
                       "SELECT count(*) FROM pg_stat_ssl s JOIN pg_stat_activity a ON a.pid = s.pid "
                       "WHERE s.ssl AND a.datname = current_database()");
  ASSERT_TRUE(ssl.step());
  EXPECT_GE(ssl.int64(0), 2);  // its writer and its reader
}
#endif

TEST(DeliveryPolicyTest, SerialsParkingAndResolvedEntries) {
  JournalEntry started = entryFor("m1");
  started.state = JournalState::Started;
  started.startedAt = 1;
  DeliveryFacts f;
  f.entry = &started;
  f.entryOwner = OwnerState::Gone;
  f.attempts = kParkAfterAttempts - 1;
  EXPECT_EQ(decideDelivery(f).action, DeliveryAction::Resolve);
  f.attempts = kParkAfterAttempts;
  EXPECT_EQ(decideDelivery(f).action, DeliveryAction::Park);
  f.entryOwner = OwnerState::Alive;
  EXPECT_EQ(decideDelivery(f).action, DeliveryAction::AwaitOwner);
  // An owner cut off inside its change is waited for; before "started" it
  // can make none, and its request is taken over.
  f.entryOwner = OwnerState::CutOff;
  EXPECT_EQ(decideDelivery(f).action, DeliveryAction::AwaitOwner);
  JournalEntry taken = entryFor("m0");
  DeliveryFacts r;
  r.entry = &taken;
  r.entryOwner = OwnerState::CutOff;
  EXPECT_EQ(decideDelivery(r).action, DeliveryAction::CarryOut);

  // Only received: another message's serial decides.
  JournalEntry received = entryFor("m2", "s");
  JournalEntry answered = entryFor("m3", "s");
  answered.state = JournalState::Done;
  answered.doneAt = 5;
  DeliveryFacts s;
  s.entry = &received;
  s.entryOwner = OwnerState::ThisProcess;
  s.serialEntry = &answered;
  s.sameBody = true;
  EXPECT_EQ(decideDelivery(s).action, DeliveryAction::ReplaySerial);
  s.sameBody = false;
  EXPECT_EQ(decideDelivery(s).action, DeliveryAction::RefuseSerial);
  // Resolved by an operator: asked of the trading server again.
  answered.state = JournalState::Resolved;
  s.sameBody = true;
  const DeliveryDecision d = decideDelivery(s);
  EXPECT_EQ(d.action, DeliveryAction::Resolve);
  EXPECT_EQ(d.subject, &answered);
}

}  // namespace
