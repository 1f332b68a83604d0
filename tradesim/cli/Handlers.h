#pragma once
// The tradesim commands' actions, one function per command, and what they
// share: the database to open and how a failed operation is reported.
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>

#include "tradesim/Store.h"
#include "tradesim/cli/Arguments.h"

namespace tradesim::cli {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// A failed operation, reported as "tradesim: <message>" with status 1.
class CommandFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Context {
  std::string databasePath;
  std::ostream& out;
  std::ostream& err;

  std::unique_ptr<Store> open() const {
    try {
      return std::make_unique<Store>(databasePath);
    } catch (const sqlite::Error& e) {
      throw CommandFailed(e.what());
    }
  }
};

// Each returns the exit status, or throws UsageError or CommandFailed.
int initDatabase(const Context& c, const Arguments& a);
int addManager(const Context& c, const Arguments& a);
int setManagerPassword(const Context& c, const Arguments& a);
int addAccount(const Context& c, const Arguments& a);
int updateAccount(const Context& c, const Arguments& a);
int showAccount(const Context& c, const Arguments& a);
int listAccounts(const Context& c, const Arguments& a);
int addDeal(const Context& c, const Arguments& a);
int updateDeal(const Context& c, const Arguments& a);
int deleteDeal(const Context& c, const Arguments& a);
int listDeals(const Context& c, const Arguments& a);
int stopServer(const Context& c, const Arguments& a);
int startServer(const Context& c, const Arguments& a);
int printServerStatus(const Context& c, const Arguments& a);
int printTime(const Context& c, const Arguments& a);
int printJournal(const Context& c, const Arguments& a);
int armFault(const Context& c, const Arguments& a);
int clearFaults(const Context& c, const Arguments& a);
int listFaults(const Context& c, const Arguments& a);

}  // namespace tradesim::cli
