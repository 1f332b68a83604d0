// The tradesim command: seeding, inspecting, deals as another manager, and
// clear refusals of bad input.
#include <algorithm>
#include <map>
#include <sstream>

#include "TestSupport.h"

namespace tradesim::test {
namespace {

class CliTest : public TradesimTest {};

std::map<std::string, std::string> keyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

TEST_F(CliTest, InitRefusesToOverwriteUnlessForced) {
  seedAccount(1001);
  const auto refused = runTradesim({"init", "--server", "x", "--manager", "1", "--password", "p"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("already exists"), std::string::npos) << refused.err;
  EXPECT_EQ(runTradesim({"account", "show", "1001"}).status, 0);

  store_.reset();  // nothing may hold the old database open while it is replaced
  const auto forced = runTradesim({"init", "--server", "10.0.0.1:443", "--manager", "5", "--password", "p", "--force"});
  ASSERT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(runTradesim({"account", "show", "1001"}).status, 1);
  ManagerPtr manager = library_.create();
  EXPECT_EQ(manager->OpenSession(L"10.0.0.1:443", 5, L"p", 0, 0, 0, 30000), mtret::Ok);

  // --db names another database than TRADESIM_DB.
  const std::string other = dir_.file("other.db");
  ASSERT_EQ(runTradesim({"--db", other, "init", "--server", "s", "--manager", "9", "--password", "q"}).status, 0);
  EXPECT_EQ(runTradesim({"--db", other, "account", "add", "--login", "42"}).status, 0);
  EXPECT_EQ(runTradesim({"--db", other, "account", "show", "42"}).status, 0);
  EXPECT_EQ(runTradesim({"account", "show", "42"}).status, 1);
}

TEST_F(CliTest, AccountsAndDealsCanBeSeededAndInspected) {
  const auto added =
      runTradesim({"account",       "add",       "--login",         "2001",     "--name", "J\u00F6rg",  "--group",
                   "real\\usd",     "--balance", "100.50",          "--credit", "20",     "--leverage", "100",
                   "--master-pass", "M-1",       "--investor-pass", "I-1",      "--city", "Line\nBreak"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, "login=2001\n");
  auto shown = keyValues(runTradesim({"account", "show", "2001"}).out);
  EXPECT_EQ(shown["name"], "J\u00F6rg");
  EXPECT_EQ(shown["group"], "real\\\\usd");
  EXPECT_EQ(shown["city"], "Line\\nBreak");
  EXPECT_EQ(shown["leverage"], "100");
  EXPECT_EQ(shown["balance"], "100.50");
  EXPECT_EQ(shown["credit"], "20.00");
  EXPECT_EQ(shown.count("master_hash") + shown.count("master_pass"), 0u);
  AccountRecord stored;
  ASSERT_EQ(store().loadAccount(2001, stored), mtret::Ok);
  EXPECT_GT(stored.registeredMs, 0);
  EXPECT_EQ(shown["registered"], std::to_string(stored.registeredMs));
  EXPECT_EQ(shown["master_changed"], std::to_string(stored.registeredMs));
  EXPECT_EQ(shown["investor_changed"], std::to_string(stored.registeredMs));

  ManagerPtr manager = connect();
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_MAIN, 2001, L"M-1"), mtret::Ok);
  EXPECT_EQ(manager->VerifyPassword(MT_PASS_INVESTOR, 2001, L"I-1"), mtret::Ok);

  EXPECT_EQ(runTradesim({"deal", "add", "--login", "2001", "--amount", "-0.5", "--comment", "fee"}).out, "deal=1\n");
  EXPECT_EQ(runTradesim({"deal", "add", "--login", "2001", "--amount", "5", "--action", "credit", "--manager",
                         std::to_string(kManager)})
                .out,
            "deal=2\n");
  ASSERT_EQ(runTradesim({"deal", "update", "1", "--amount", "-1.5", "--comment", "fee 2"}).status, 0);
  shown = keyValues(runTradesim({"account", "show", "2001"}).out);
  EXPECT_EQ(shown["balance"], "99.00");
  EXPECT_EQ(shown["credit"], "25.00");
  ASSERT_EQ(runTradesim({"deal", "delete", "2"}).status, 0);
  shown = keyValues(runTradesim({"account", "show", "2001"}).out);
  EXPECT_EQ(shown["credit"], "20.00");

  const auto deals = runTradesim({"deal", "list", "--login", "2001"});
  EXPECT_EQ(deals.out.rfind("1\t2001\tbalance\t-1.50\tfee 2\t", 0), 0u) << deals.out;
  EXPECT_EQ(std::count(deals.out.begin(), deals.out.end(), '\n'), 1);
  // The manager column comes last, after the time: 0 for the console.
  EXPECT_EQ(std::count(deals.out.begin(), deals.out.end(), '\t'), 6);
  EXPECT_EQ(deals.out.substr(deals.out.rfind('\t')), "\t0\n");
  ASSERT_EQ(runTradesim({"deal", "add", "--login", "2001", "--amount", "1", "--manager", std::to_string(kManager)}).out,
            "deal=3\n");
  const std::string all = runTradesim({"deal", "list"}).out;
  EXPECT_NE(all.find("\n3\t2001\tbalance\t1.00\t\t"), std::string::npos) << all;
  EXPECT_EQ(all.substr(all.rfind('\t')), "\t" + std::to_string(kManager) + "\n");
  EXPECT_EQ(runTradesim({"account", "list"}).out, "2001\tJ\u00F6rg\treal\\\\usd\t100.00\t20.00\n");

  // Another manager's change: what it names, the rest as it was.
  ASSERT_EQ(runTradesim({"account", "update", "2001", "--name", "Other", "--leverage", "50"}).out, "login=2001\n");
  shown = keyValues(runTradesim({"account", "show", "2001"}).out);
  EXPECT_EQ(shown["name"], "Other");
  EXPECT_EQ(shown["leverage"], "50");
  EXPECT_EQ(shown["group"], "real\\\\usd");
  EXPECT_EQ(shown["balance"], "100.00");
  EXPECT_EQ(runTradesim({"account", "update", "9999", "--name", "x"}).status, 1);
  ASSERT_EQ(runTradesim({"account", "update", "2001", "--name", "J\u00F6rg", "--leverage", "100"}).status, 0);

  const auto auto1 = runTradesim({"account", "add", "--name", "auto"});
  EXPECT_EQ(auto1.out, "login=2002\n");
  EXPECT_EQ(runTradesim({"account", "add", "--login", "2001"}).status, 1);
  const auto oversized = runTradesim({"account", "add", "--login", "9223372036854775808"});
  EXPECT_EQ(oversized.status, 1);
  EXPECT_NE(oversized.err.find("account 9223372036854775808: login out of range"), std::string::npos) << oversized.err;
  EXPECT_EQ(oversized.err.find("amount"), std::string::npos) << oversized.err;
  EXPECT_EQ(runTradesim({"deal", "add", "--login", "9999", "--amount", "1"}).status, 1);
  EXPECT_EQ(runTradesim({"deal", "update", "77", "--amount", "1"}).status, 1);
  EXPECT_EQ(runTradesim({"deal", "delete", "77"}).status, 1);
}

TEST_F(CliTest, ServerStopAndStartSayWhatTheyDidAndTheConsoleKeepsWorking) {
  seedAccount(1001, "10");
  const auto status = [] {
    const auto result = runTradesim({"server", "status"});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  };
  EXPECT_EQ(status(), "running\n");
  EXPECT_EQ(runTradesim({"server", "stop"}).out, "server stopped\n");
  EXPECT_EQ(runTradesim({"server", "stop"}).out, "server already stopped\n");
  EXPECT_EQ(status(), "stopped\n");
  EXPECT_EQ(runTradesim({"deal", "add", "--login", "1001", "--amount", "5"}).out, "deal=1\n");
  EXPECT_EQ(keyValues(runTradesim({"account", "show", "1001"}).out)["balance"], "15.00");
  EXPECT_EQ(runTradesim({"fault", "arm", "LoadAccount", "--code", "2"}).status, 0);
  EXPECT_EQ(runTradesim({"server", "start"}).out, "server started\n");
  EXPECT_EQ(runTradesim({"server", "start"}).out, "server already running\n");
  EXPECT_EQ(status(), "running\n");
  EXPECT_EQ(runTradesim({"server", "status", "now"}).status, 2);
}

TEST_F(CliTest, BadArgumentsAreRefusedClearly) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{}, "usage:"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"account"}, "needs a subcommand"},
      {{"account", "remove"}, "unknown command 'account remove'"},
      {{"account", "add", "--colour", "red"}, "unknown option --colour"},
      {{"account", "add", "--login"}, "--login needs a value"},
      {{"account", "add", "--login", "12x"}, "--login must be a whole number"},
      {{"account", "add", "--balance", "1e3"}, "--balance must be a decimal amount"},
      {{"account", "add", "--name", "a", "--name", "b"}, "given twice"},
      {{"account", "show"}, "missing LOGIN"},
      {{"account", "show", "1", "2"}, "unexpected argument '2'"},
      {{"deal", "add", "--login", "1"}, "missing option --amount"},
      {{"deal", "add", "--login", "1", "--amount", "1", "--action", "trade"}, "--action must be balance or credit"},
      {{"deal", "update", "1"}, "nothing to change"},
      {{"deal", "add", "--login", "1", "--amount", "1", "--manager", "x"}, "--manager must be a whole number"},
      {{"time", "now"}, "unexpected argument 'now'"},
      {{"fault", "arm", "PostBalanceDeal", "--code", "1", "--code-after", "2"}, "--code-after cannot go with --code"},
      {{"init", "--server", "s", "--manager", "0", "--password", "p"}, "--manager must not be 0"},
      {{"--bogus", "journal"}, "unknown option --bogus"},
  };
  for (const auto& c : cases) {
    const auto result = runTradesim(c.args);
    EXPECT_EQ(result.status, 2) << c.says;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << "expected '" << c.says << "' in: " << result.err;
  }
  // An unreachable database is an operation failure, named in the message.
  const auto missing = runTradesim({"--db", dir_.file("none.db"), "account", "list"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.db"), std::string::npos) << missing.err;
}

TEST_F(CliTest, HelpIsAvailableEverywhere) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                {"init", "--help"},
                                                                {"manager", "add", "--help"},
                                                                {"manager", "password", "--help"},
                                                                {"account", "--help"},
                                                                {"account", "add", "--help"},
                                                                {"account", "show", "-h"},
                                                                {"account", "list", "--help"},
                                                                {"deal", "add", "--help"},
                                                                {"deal", "update", "--help"},
                                                                {"deal", "delete", "--help"},
                                                                {"deal", "list", "--help"},
                                                                {"journal", "--help"},
                                                                {"time", "--help"},
                                                                {"server", "--help"},
                                                                {"server", "stop", "--help"},
                                                                {"server", "start", "--help"},
                                                                {"server", "status", "--help"},
                                                                {"fault", "arm", "--help"},
                                                                {"fault", "clear", "--help"},
                                                                {"fault", "list", "--help"}}) {
    const auto result = runTradesim(args);
    EXPECT_EQ(result.status, 0) << args[0];
    EXPECT_EQ(result.out.rfind("usage: tradesim", 0), 0u) << result.out;
  }
}

}  // namespace
}  // namespace tradesim::test
