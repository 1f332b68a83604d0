#pragma once
// Brings a journal written by an earlier version up to date.
#include <cstdint>

#include "support/SqlDb.h"

// Inside the caller's transaction, after the current tables were created
// where missing; foundVersion is the version the file had (1 or more).
void upgradeJournal(sqldb::Connection& db, int64_t foundVersion);
