// The libpq wrapper against a real server: one private cluster per test
// binary, started by scripts/postgres.sh and purged at the end (only stopped
// with MQB_KEEP_POSTGRES=1, to look at its log). A cluster that cannot start
// fails every test with the script's reason.
#include "support/Postgres.h"
#include "tests/support/PostgresCluster.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>

namespace {

using testpg::Cluster;

Cluster* const cluster = static_cast<Cluster*>(::testing::AddGlobalTestEnvironment(new Cluster));

class PostgresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cluster->ready()) GTEST_FAIL() << cluster->reason();
    db_ = std::make_unique<pg::Connection>(cluster->conninfo());
    db_->exec("DROP TABLE IF EXISTS t; CREATE TABLE t (id bigint PRIMARY KEY, i bigint, r double precision, s text)");
  }
  int64_t count(pg::Connection& db) {
    pg::Statement q(db, "SELECT count(*) FROM t");
    EXPECT_TRUE(q.step());
    return q.int64(0);
  }
  std::unique_ptr<pg::Connection> db_;
};

TEST(PostgresPlaceholders, NumberedOutsideLiteralsIdentifiersAndComments) {
  int n = 0;
  EXPECT_EQ(pg::numberPlaceholders("SELECT ?, '?', \"a?\", E'\\'?', 'it''s ?', ?", &n),
            "SELECT $1, '?', \"a?\", E'\\'?', 'it''s ?', $2");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(pg::numberPlaceholders("SELECT $$?$$, $x$ ? $$ ? $x$, ? -- ?\n/* ? /* ? */ ? */ ?", &n),
            "SELECT $$?$$, $x$ ? $$ ? $x$, $1 -- ?\n/* ? /* ? */ ? */ $2");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(pg::numberPlaceholders("SELECT 'unterminated ?", &n), "SELECT 'unterminated ?");
  EXPECT_EQ(n, 0);
}

TEST_F(PostgresTest, PlaceholderInsideQuotedLiteralLeftAlone) {
  pg::Statement q(*db_, "SELECT ?::text, '?', 'a''?b', ?::bigint");
  q.bind(1, "x").bind(2, 7);
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.text(0), "x");
  EXPECT_EQ(q.text(1), "?");
  EXPECT_EQ(q.text(2), "a'?b");
  EXPECT_EQ(q.int64(3), 7);
  EXPECT_FALSE(q.step());
}

TEST_F(PostgresTest, EveryBindTypeRoundTrips) {
  const std::string text = "quote ' backslash \\ question ? ünïcode";
  const double reals[] = {0.1, -1e300, 5e-324, std::numeric_limits<double>::infinity(), 1.0 / 3};
  pg::Statement insert(*db_, "INSERT INTO t (id, i, r, s) VALUES (?, ?, ?, ?)");
  insert.bind(1, 1)
      .bind(2, std::numeric_limits<int64_t>::min())
      .bind(3, reals[0])
      .bind(4, std::string_view(text))
      .run();
  insert.bind(1, 2).bind(2, std::numeric_limits<uint64_t>::max()).bind(3, reals[1]).bind(4, text.c_str()).run();
  insert.bind(1, 3).bind(2, std::numeric_limits<uint32_t>::max()).bind(3, reals[2]).bind(4, text).run();
  insert.bind(1, 4).bind(2, -5).bind(3, reals[3]).bind(4, "").run();
  insert.bind(1, 5).bind(2, std::numeric_limits<int64_t>::max()).bind(3, reals[4]).bind(4, "?").run();

  pg::Statement q(*db_, "SELECT i, r, s FROM t ORDER BY id");
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.int64(0), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(q.real(1), reals[0]);
  EXPECT_EQ(q.text(2), text);
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.uint64(0), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(q.real(1), reals[1]);
  EXPECT_EQ(q.text(2), text);
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.uint64(0), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(q.real(1), reals[2]);
  EXPECT_EQ(q.text(2), text);
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.int64(0), -5);
  EXPECT_EQ(q.real(1), reals[3]);
  EXPECT_EQ(q.text(2), "");
  EXPECT_FALSE(q.isNull(2));
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.int64(0), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(q.real(1), reals[4]);
  EXPECT_EQ(q.text(2), "?");
  EXPECT_FALSE(q.step());
}

TEST_F(PostgresTest, NullsBoundAndRead) {
  pg::Statement insert(*db_, "INSERT INTO t (id, i, r, s) VALUES (?, ?, ?, ?)");
  insert.bind(1, 1).bindNull(2).bindNull(3).bindNull(4).run();
  insert.bind(1, 2).bind(2, 9).bind(3, 1.5).bind(4, "x").bindNull(2).run();  // NULL replaces a bound value
  pg::Statement q(*db_, "SELECT i, r, s, s IS NULL FROM t ORDER BY id");
  for (int row = 0; row < 2; ++row) {
    ASSERT_TRUE(q.step());
    EXPECT_TRUE(q.isNull(0));
    EXPECT_EQ(q.int64(0), 0);
    EXPECT_EQ(q.int64(3), row == 0 ? 1 : 0);
  }
  EXPECT_FALSE(q.step());
  EXPECT_THROW(insert.bind(5, 1), pg::Error);
  EXPECT_THROW(insert.bind(4, std::string_view("a\0b", 3)), pg::Error);
}

TEST_F(PostgresTest, ChangesCountsRowsOfTheLastStatement) {
  db_->exec("INSERT INTO t (id, i) SELECT g, 0 FROM generate_series(1, 5) g");
  EXPECT_EQ(db_->changes(), 5);
  pg::Statement update(*db_, "UPDATE t SET i = i + 1 WHERE id <= ?");
  update.bind(1, 3).run();
  EXPECT_EQ(db_->changes(), 3);
  update.bind(1, 0).run();
  EXPECT_EQ(db_->changes(), 0);
  EXPECT_EQ(db_->exec("DELETE FROM t WHERE id > 1"), "DELETE 4");
  EXPECT_EQ(db_->changes(), 4);
}

TEST_F(PostgresTest, SameSqlIsPreparedOnce) {
  const char* sql = "SELECT ?::bigint * 2";
  for (int64_t value : {21, 50}) {
    pg::Statement q(*db_, sql);
    q.bind(1, value);
    ASSERT_TRUE(q.step());
    EXPECT_EQ(q.int64(0), value * 2);
  }
  pg::Statement prepared(*db_, "SELECT count(*) FROM pg_prepared_statements WHERE statement = ?");
  prepared.bind(1, pg::numberPlaceholders(sql, nullptr));
  ASSERT_TRUE(prepared.step());
  EXPECT_EQ(prepared.int64(0), 1);
}

TEST_F(PostgresTest, TransactionRollsBackUnlessCommitted) {
  pg::Connection other(cluster->conninfo());
  {
    pg::Transaction tx(*db_);
    db_->exec("INSERT INTO t (id) VALUES (1)");
    EXPECT_EQ(count(*db_), 1);
    EXPECT_EQ(count(other), 0);  // not visible before the commit
  }
  EXPECT_EQ(count(*db_), 0);
  {
    pg::Transaction tx(*db_);
    db_->exec("INSERT INTO t (id) VALUES (2)");
    tx.commit();
  }
  EXPECT_EQ(count(other), 1);
  {
    pg::Transaction tx(*db_);
    db_->exec("INSERT INTO t (id) VALUES (3)");
    EXPECT_THROW(db_->exec("INSERT INTO t (id) VALUES (2)"), pg::Error);
    EXPECT_THROW(tx.commit(), pg::Error);  // the server rolled it back
  }
  EXPECT_EQ(count(other), 1);
}

TEST_F(PostgresTest, ErrorsCarryTheirSqlstate) {
  db_->exec("INSERT INTO t (id) VALUES (1)");
  try {
    db_->exec("INSERT INTO t (id) VALUES (1)");
    FAIL() << "a duplicate key was accepted";
  } catch (const pg::Error& e) {
    EXPECT_EQ(e.sqlstate(), "23505") << e.what();
    EXPECT_FALSE(pg::isRetryable(e));
    EXPECT_FALSE(pg::isConnectionLost(e));
  }
  try {
    pg::Statement bad(*db_, "SELEC 1");
    FAIL() << "a syntax error was accepted";
  } catch (const pg::Error& e) {
    EXPECT_EQ(e.sqlstate(), "42601") << e.what();
  }
}

// Write skew: each reads both rows and changes one. Under SERIALIZABLE the
// second commit must fail, retryably; run again, it succeeds.
TEST_F(PostgresTest, SerializableConflictIsRetryable) {
  db_->exec("INSERT INTO t (id, i) VALUES (1, 0), (2, 0)");
  pg::Connection other(cluster->conninfo());
  auto sum = [](pg::Connection& db) {
    pg::Statement q(db, "SELECT sum(i) FROM t");
    return q.step() ? q.int64(0) : -1;
  };
  auto update = [](pg::Connection& db, int id) {
    pg::Statement(db, "UPDATE t SET i = i + 1 WHERE id = ?").bind(1, id).run();
  };
  bool failed = false;
  try {
    pg::Transaction a(*db_);
    pg::Transaction b(other);
    EXPECT_EQ(sum(*db_), 0);
    EXPECT_EQ(sum(other), 0);
    update(*db_, 1);
    update(other, 2);
    a.commit();
    b.commit();
  } catch (const pg::Error& e) {
    failed = true;
    EXPECT_TRUE(pg::isRetryable(e)) << e.sqlstate() << " " << e.what();
    EXPECT_FALSE(pg::isConnectionLost(e));
  }
  EXPECT_TRUE(failed) << "both conflicting transactions committed";
  pg::Transaction again(other);
  EXPECT_EQ(sum(other), 1);
  update(other, 2);
  again.commit();
  EXPECT_EQ(sum(*db_), 2);
}

TEST_F(PostgresTest, WrongPasswordNeverShown) {
  const std::string wrong = "Wr0ng-" + cluster->password().substr(0, 8);
  const std::string attempts[] = {
      cluster->target() + " password=" + wrong + " sslmode=disable",
      "postgresql://" + cluster->env("PGUSER") + ":" + wrong + "@127.0.0.1:" + cluster->env("PGPORT") + "/" +
          cluster->env("PGDATABASE"),
      // Unparsable: libpq quotes the part it could not read.
      "postgresql://" + cluster->env("PGUSER") + ":" + wrong + "%zz@127.0.0.1:" + cluster->env("PGPORT") + "/mqb",
      cluster->target() + " " + wrong,
  };
  for (const auto& conninfo : attempts) {
    try {
      pg::Connection db(conninfo);
      FAIL() << "connected with a wrong password";
    } catch (const pg::Error& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.find(wrong), std::string::npos) << what;
      EXPECT_FALSE(pg::isConnectionLost(e));
    }
  }
  ::setenv("PGPASSWORD", wrong.c_str(), 1);
  try {
    pg::Connection db(cluster->target() + " sslmode=disable");
    ADD_FAILURE() << "connected with a wrong PGPASSWORD";
  } catch (const pg::Error& e) {
    EXPECT_NE(std::string(e.what()).find("password authentication failed"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find(wrong), std::string::npos) << e.what();
  }
  ::unsetenv("PGPASSWORD");
}

TEST_F(PostgresTest, PasswordFromPassfile) {
  ::setenv("PGPASSFILE", cluster->env("PGPASSFILE").c_str(), 1);
  EXPECT_NO_THROW(pg::Connection(cluster->target() + " sslmode=disable"));
  ::unsetenv("PGPASSFILE");
}

TEST_F(PostgresTest, TlsVerifyFull) {
  const std::string tls =
      " password=" + cluster->password() + " sslmode=verify-full sslrootcert=" + cluster->env("PG_CA_FILE");
  pg::Connection db(cluster->target() + tls);
  pg::Statement q(db, "SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()");
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.int64(0), 1);
  try {
    pg::Connection misnamed(cluster->target("other.invalid") + " hostaddr=127.0.0.1" + tls);
    FAIL() << "verify-full accepted a certificate for another name";
  } catch (const pg::Error& e) {
    EXPECT_NE(std::string(e.what()).find("does not match host name"), std::string::npos) << e.what();
  }
}

TEST_F(PostgresTest, ServerClockCloseToHost) {
  using namespace std::chrono;
  auto hostMs = [] { return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count(); };
  const int64_t before = hostMs();
  const int64_t server = db_->nowMs();
  const int64_t after = hostMs();
  EXPECT_GE(server, before - 1000);
  EXPECT_LE(server, after + 1000);
}

// Last: it stops the shared cluster, then starts it again.
TEST_F(PostgresTest, StoppedServerMeansLostConnection) {
  ASSERT_NO_FATAL_FAILURE(cluster->stop());
  try {
    db_->exec("SELECT 1");
    ADD_FAILURE() << "a stopped server answered";
  } catch (const pg::Error& e) {
    EXPECT_TRUE(pg::isConnectionLost(e)) << e.sqlstate() << " " << e.what();
    EXPECT_FALSE(pg::isRetryable(e));
  }
  cluster->start();
  ASSERT_TRUE(cluster->ready()) << cluster->reason();
  pg::Connection again(cluster->conninfo());
  EXPECT_EQ(count(again), 0);
}

}  // namespace
