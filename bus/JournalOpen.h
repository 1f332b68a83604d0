#pragma once
// Opening the request journal where its location says: an SQLite file on
// this host (made with its directory when missing, brought up to date), or
// a PostgreSQL database shared by the hosts that serve one set of queues
// (its tables made when missing).
#include <memory>
#include <string>

#include "bus/RequestDigest.h"
#include "support/SqlDb.h"

struct JournalConnections {
  std::unique_ptr<sqldb::Connection> writer;
  std::unique_ptr<sqldb::Connection> reader;
  DigestKey key;
};

// keyPath: the digest key's file; empty for "<location>.key" beside an
// SQLite journal. Every host sharing a database journal needs the same key:
// the database keeps a check of the first one, and an instance whose key
// differs is refused. Throws JournalError naming the location (never its
// password).
JournalConnections openJournalDatabase(const std::string& location, const std::string& keyPath);
