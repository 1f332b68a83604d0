#include "tradesim/cli/Handlers.h"

#include <cstdint>
#include <fstream>
#include <iostream>

#include "tradesim/Journal.h"

namespace tradesim::cli {
namespace {

// key=value values stay on one line.
std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

const char* actionName(uint32_t action) { return action == 2 ? "balance" : action == 3 ? "credit" : "other"; }

void check(MTAPIRES code, const std::string& what) {
  switch (code) {
    case mtret::Ok:
    case mtret::RequestDone:
      return;
    case mtret::NotFound:
      throw CommandFailed(what + " not found");
    case mtret::AccountExists:
      throw CommandFailed(what + " already exists");
    case mtret::InvalidParams:
      throw CommandFailed(what + ": invalid parameters (amount out of range?)");
    default:
      throw CommandFailed(what + ": failed with code " + std::to_string(code));
  }
}

std::string checkedOperation(const std::string& name) {
  if (isFaultOperation(name)) return name;
  std::string known;
  for (const auto& op : faultOperations()) known += " " + op;
  throw UsageError("unknown operation '" + name + "' (one of:" + known + ")");
}

}  // namespace

int initDatabase(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  const std::string server = a.required("server");
  const uint64_t login = parseUnsigned(a.required("manager"), "--manager");
  if (login == 0) throw UsageError("--manager must not be 0");
  try {
    Store::initialize(c.databasePath, server, login, a.required("password"), a.flag("force"));
  } catch (const UsageError&) {
    throw;
  } catch (const std::exception& e) {
    throw CommandFailed(e.what());
  }
  c.out << "created " << c.databasePath << " for server " << server << " with manager " << login << "\n";
  return kDone;
}

namespace {

// --login N --password PASS, then the store's change for them.
int changeManager(const Context& c, const Arguments& a,
                  MTAPIRES (Store::*change)(uint64_t login, std::string_view password)) {
  a.expectPositionals(0, 0, "");
  const uint64_t login = parseUnsigned(a.required("login"), "--login");
  if (login == 0) throw UsageError("--login must not be 0");
  const std::string password = a.required("password");
  const auto store = c.open();
  check((store.get()->*change)(login, password), "manager " + std::to_string(login));
  c.out << "manager=" << login << "\n";
  return kDone;
}

}  // namespace

int addManager(const Context& c, const Arguments& a) { return changeManager(c, a, &Store::addManager); }

int setManagerPassword(const Context& c, const Arguments& a) { return changeManager(c, a, &Store::setManagerPassword); }

int addAccount(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  AccountRecord account;
  if (auto v = a.value("login")) account.login = parseUnsigned(*v, "--login");
  const auto text = [&](const char* name) { return a.value(name).value_or(""); };
  account.name = text("name");
  account.group = text("group");
  account.country = text("country");
  account.city = text("city");
  account.zip = text("zip");
  account.address = text("address");
  account.phone = text("phone");
  account.email = text("email");
  account.id = text("id");
  account.comment = text("comment");
  account.leadSource = text("lead-source");
  if (auto v = a.value("agent")) account.agent = parseUnsigned(*v, "--agent");
  if (auto v = a.value("rights")) account.rights = parseUnsigned(*v, "--rights");
  if (auto v = a.value("leverage")) account.leverage = parseUnsigned32(*v, "--leverage");
  if (auto v = a.value("balance")) account.balance = parseAmount(*v, "--balance");
  if (auto v = a.value("credit")) account.credit = parseAmount(*v, "--credit");
  const std::string what = account.login ? "account " + std::to_string(account.login) : "account";
  if (account.login > static_cast<uint64_t>(INT64_MAX))
    throw CommandFailed(what + ": login out of range (at most " + std::to_string(INT64_MAX) + ")");
  check(c.open()->addAccount(account, text("master-pass"), text("investor-pass")), what);
  c.out << "login=" << account.login << "\n";
  return kDone;
}

int updateAccount(const Context& c, const Arguments& a) {
  a.expectPositionals(1, 1, "LOGIN");
  const uint64_t login = parseUnsigned(a.positionals()[0], "LOGIN");
  const std::string what = "account " + std::to_string(login);
  AccountRecord account;
  check(c.open()->loadAccount(login, account), what);
  const auto text = [&](const char* name, std::string& field) {
    if (auto v = a.value(name)) field = *v;
  };
  text("name", account.name);
  text("group", account.group);
  text("country", account.country);
  text("city", account.city);
  text("zip", account.zip);
  text("address", account.address);
  text("phone", account.phone);
  text("email", account.email);
  text("id", account.id);
  text("comment", account.comment);
  text("lead-source", account.leadSource);
  if (auto v = a.value("agent")) account.agent = parseUnsigned(*v, "--agent");
  if (auto v = a.value("rights")) account.rights = parseUnsigned(*v, "--rights");
  if (auto v = a.value("leverage")) account.leverage = parseUnsigned32(*v, "--leverage");
  check(c.open()->saveAccount(account), what);
  c.out << "login=" << login << "\n";
  return kDone;
}

int showAccount(const Context& c, const Arguments& a) {
  a.expectPositionals(1, 1, "LOGIN");
  const uint64_t login = parseUnsigned(a.positionals()[0], "LOGIN");
  AccountRecord r;
  check(c.open()->loadAccount(login, r), "account " + std::to_string(login));
  c.out << "login=" << r.login << "\nname=" << escaped(r.name) << "\ngroup=" << escaped(r.group)
        << "\ncountry=" << escaped(r.country) << "\ncity=" << escaped(r.city) << "\nzip=" << escaped(r.zip)
        << "\naddress=" << escaped(r.address) << "\nphone=" << escaped(r.phone) << "\nemail=" << escaped(r.email)
        << "\nid=" << escaped(r.id) << "\ncomment=" << escaped(r.comment) << "\nlead_source=" << escaped(r.leadSource)
        << "\nagent=" << r.agent << "\nrights=" << r.rights << "\nleverage=" << r.leverage
        << "\nbalance=" << formatMoney(r.balance) << "\ncredit=" << formatMoney(r.credit)
        << "\nregistered=" << r.registeredMs << "\nmaster_changed=" << r.masterChangedMs
        << "\ninvestor_changed=" << r.investorChangedMs << "\n";
  return kDone;
}

int listAccounts(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  for (const auto& r : c.open()->listAccounts()) {
    c.out << r.login << "\t" << escaped(r.name) << "\t" << escaped(r.group) << "\t" << formatMoney(r.balance) << "\t"
          << formatMoney(r.credit) << "\n";
  }
  return kDone;
}

int addDeal(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  const uint64_t login = parseUnsigned(a.required("login"), "--login");
  const Money amount = parseAmount(a.required("amount"), "--amount");
  const std::string action = a.value("action").value_or("balance");
  if (action != "balance" && action != "credit") throw UsageError("--action must be balance or credit");
  // 0: the server's own console rather than a manager's session.
  uint64_t manager = 0;
  if (auto v = a.value("manager")) manager = parseUnsigned(*v, "--manager");
  const auto store = c.open();
  if (manager != 0 && !store->hasManager(manager))
    throw CommandFailed("manager " + std::to_string(manager) + " not found");
  uint64_t id = 0;
  check(
      store->postBalanceDeal(login, amount, action == "balance" ? 2 : 3, a.value("comment").value_or(""), manager, id),
      "account " + std::to_string(login));
  c.out << "deal=" << id << "\n";
  return kDone;
}

int updateDeal(const Context& c, const Arguments& a) {
  a.expectPositionals(1, 1, "deal ID");
  const uint64_t id = parseUnsigned(a.positionals()[0], "deal ID");
  std::optional<Money> amount;
  if (auto v = a.value("amount")) amount = parseAmount(*v, "--amount");
  const auto comment = a.value("comment");
  if (!amount && !comment) throw UsageError("nothing to change: give --amount and/or --comment");
  check(c.open()->updateDeal(id, amount, comment), "deal " + std::to_string(id));
  c.out << "deal=" << id << "\n";
  return kDone;
}

int deleteDeal(const Context& c, const Arguments& a) {
  a.expectPositionals(1, 1, "deal ID");
  const uint64_t id = parseUnsigned(a.positionals()[0], "deal ID");
  check(c.open()->deleteDeal(id), "deal " + std::to_string(id));
  c.out << "deal=" << id << "\n";
  return kDone;
}

int listDeals(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  std::optional<uint64_t> login;
  if (auto v = a.value("login")) login = parseUnsigned(*v, "--login");
  for (const auto& d : c.open()->listDeals(login)) {
    c.out << d.id << "\t" << d.login << "\t" << actionName(d.action) << "\t" << formatMoney(d.amount) << "\t"
          << escaped(d.comment) << "\t" << localTimestamp(d.timeMs) << "\t" << d.manager << "\n";
  }
  return kDone;
}

int stopServer(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  c.out << (c.open()->setServerRunning(false) ? "server stopped\n" : "server already stopped\n");
  return kDone;
}

int startServer(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  c.out << (c.open()->setServerRunning(true) ? "server started\n" : "server already running\n");
  return kDone;
}

int printServerStatus(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  c.out << (c.open()->serverState().running ? "running\n" : "stopped\n");
  return kDone;
}

int printTime(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  // The server's clock is this machine's: no database is needed to read it.
  c.out << "now=" << nowEpochMs() << "\n";
  return kDone;
}

int printJournal(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  const std::string path = journalPathFor(c.databasePath);
  std::ifstream in(path, std::ios::binary);
  if (!in) return kDone;  // nothing written yet
  c.out << in.rdbuf();
  return kDone;
}

int armFault(const Context& c, const Arguments& a) {
  a.expectPositionals(1, 1, "operation");
  FaultRecord fault;
  fault.operation = checkedOperation(a.positionals()[0]);
  if (auto v = a.value("code")) fault.code = parseUnsigned32(*v, "--code");
  if (auto v = a.value("code-after")) fault.codeAfter = parseUnsigned32(*v, "--code-after");
  if (auto v = a.value("delay-ms")) fault.delayMs = parseUnsigned32(*v, "--delay-ms");
  if (auto v = a.value("delay-after-ms")) fault.delayAfterMs = parseUnsigned32(*v, "--delay-after-ms");
  if (auto v = a.value("count")) fault.remaining = parseUnsigned32(*v, "--count");
  if (!fault.code && !fault.codeAfter && fault.delayMs == 0 && fault.delayAfterMs == 0) {
    throw UsageError("give --code N, --code-after N, --delay-ms N or --delay-after-ms N");
  }
  // A code ends the call without effect: there is nothing to wait or answer after.
  if (fault.code && fault.delayAfterMs > 0) throw UsageError("--delay-after-ms cannot go with --code");
  if (fault.code && fault.codeAfter) throw UsageError("--code-after cannot go with --code");
  if (fault.remaining == 0) throw UsageError("--count must be at least 1");
  c.open()->armFault(fault);
  c.out << "armed " << fault.operation << " for " << fault.remaining << " call(s)\n";
  return kDone;
}

int clearFaults(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 1, "");
  const std::string operation = a.positionals().empty() ? "" : checkedOperation(a.positionals()[0]);
  c.open()->clearFaults(operation);
  return kDone;
}

int listFaults(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  for (const auto& f : c.open()->listFaults()) {
    c.out << f.operation << "\tcode=" << (f.code ? std::to_string(*f.code) : "-") << "\tdelay_ms=" << f.delayMs
          << "\tremaining=" << f.remaining << "\tdelay_after_ms=" << f.delayAfterMs
          << "\tcode_after=" << (f.codeAfter ? std::to_string(*f.codeAfter) : "-") << "\n";
  }
  return kDone;
}

}  // namespace tradesim::cli
