#pragma once
// Reading the journal's lease rows, inside a caller's transaction.
#include <string>
#include <utility>
#include <vector>

#include "bus/ProcessOwner.h"
#include "support/SqlDb.h"

using LeaseHolders = std::vector<std::pair<std::string, OwnerLease>>;

// Every lease but `except`'s; only those marked serving when servingOnly.
LeaseHolders leaseHolders(sqldb::Connection& db, bool servingOnly, const std::string& except = std::string());
