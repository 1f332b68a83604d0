#include "tradesim/cli/Commands.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>

#include "tradesim/Journal.h"
#include "tradesim/Store.h"
#include "tradesim/cli/Arguments.h"

namespace tradesim::cli {
namespace {

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

struct Command {
  std::vector<std::string> words;
  std::string usage;  // options after the command words
  std::string summary;
  std::set<std::string> valueOptions;
  std::set<std::string> flags;
  std::function<int(const Context&, const Arguments&)> run;
};

const std::set<std::string> kAccountTexts = {"name",  "group", "country", "city",    "zip",        "address",
                                             "phone", "email", "id",      "comment", "lead-source"};

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

int addManager(const Context& c, const Arguments& a) {
  a.expectPositionals(0, 0, "");
  const uint64_t login = parseUnsigned(a.required("login"), "--login");
  if (login == 0) throw UsageError("--login must not be 0");
  const std::string password = a.required("password");
  check(c.open()->addManager(login, password), "manager " + std::to_string(login));
  c.out << "manager=" << login << "\n";
  return kDone;
}

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
        << "\nbalance=" << formatMoney(r.balance) << "\ncredit=" << formatMoney(r.credit) << "\n";
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
  uint64_t id = 0;
  check(c.open()->postBalanceDeal(login, amount, action == "balance" ? 2 : 3, a.value("comment").value_or(""), id),
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
          << escaped(d.comment) << "\t" << localTimestamp(d.timeMs) << "\n";
  }
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

std::string checkedOperation(const std::string& name) {
  if (isFaultOperation(name)) return name;
  std::string known;
  for (const auto& op : faultOperations()) known += " " + op;
  throw UsageError("unknown operation '" + name + "' (one of:" + known + ")");
}

int armFault(const Context& c, const Arguments& a) {
  a.expectPositionals(1, 1, "operation");
  FaultRecord fault;
  fault.operation = checkedOperation(a.positionals()[0]);
  if (auto v = a.value("code")) fault.code = parseUnsigned32(*v, "--code");
  if (auto v = a.value("delay-ms")) fault.delayMs = parseUnsigned32(*v, "--delay-ms");
  if (auto v = a.value("delay-after-ms")) fault.delayAfterMs = parseUnsigned32(*v, "--delay-after-ms");
  if (auto v = a.value("count")) fault.remaining = parseUnsigned32(*v, "--count");
  if (!fault.code && fault.delayMs == 0 && fault.delayAfterMs == 0) {
    throw UsageError("give --code N, --delay-ms N or --delay-after-ms N");
  }
  // A code ends the call without effect: there is nothing to wait after.
  if (fault.code && fault.delayAfterMs > 0) throw UsageError("--delay-after-ms cannot go with --code");
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
          << "\tremaining=" << f.remaining << "\tdelay_after_ms=" << f.delayAfterMs << "\n";
  }
  return kDone;
}

std::set<std::string> accountOptions() {
  std::set<std::string> options = kAccountTexts;
  options.insert({"login", "agent", "rights", "leverage", "balance", "credit", "master-pass", "investor-pass"});
  return options;
}

const std::vector<Command>& commands() {
  static const std::vector<Command> all = {
      {{"init"},
       "--server ADDR --manager LOGIN --password PASS [--force]",
       "create a database answering to ADDR with one manager (--force replaces an existing one)",
       {"server", "manager", "password"},
       {"force"},
       initDatabase},
      {{"manager", "add"}, "--login N --password PASS", "add a manager login", {"login", "password"}, {}, addManager},
      {{"account", "add"},
       "[--login N] [--name T] [--group T] [--country T] [--city T] [--zip T] [--address T] [--phone T] "
       "[--email T] [--id T] [--comment T] [--lead-source T] [--agent N] [--rights N] [--leverage N] "
       "[--balance X] [--credit X] [--master-pass P] [--investor-pass P]",
       "add an account (without --login the next free login is taken); prints login=N",
       accountOptions(),
       {},
       addAccount},
      {{"account", "show"}, "LOGIN", "print an account as key=value lines", {}, {}, showAccount},
      {{"account", "list"},
       "",
       "print login, name, group, balance, credit per account (tab-separated)",
       {},
       {},
       listAccounts},
      {{"deal", "add"},
       "--login N --amount X [--action balance|credit] [--comment T]",
       "post a balance or credit deal as another manager would; prints deal=ID",
       {"login", "amount", "action", "comment"},
       {},
       addDeal},
      {{"deal", "update"},
       "ID [--amount X] [--comment T]",
       "change a deal; the account moves by the difference in amount",
       {"amount", "comment"},
       {},
       updateDeal},
      {{"deal", "delete"}, "ID", "delete a deal and take its amount back off the account", {}, {}, deleteDeal},
      {{"deal", "list"},
       "[--login N]",
       "print id, login, action, amount, comment, time per deal (tab-separated)",
       {"login"},
       {},
       listDeals},
      {{"journal"}, "", "print the journal", {}, {}, printJournal},
      {{"fault", "arm"},
       "OPERATION [--code N] [--delay-ms N] [--delay-after-ms N] [--count K]",
       "make the next K (default 1) calls of OPERATION fail or stall, as told below",
       {"code", "delay-ms", "delay-after-ms", "count"},
       {},
       armFault},
      {{"fault", "clear"}, "[OPERATION]", "disarm one operation's fault, or all", {}, {}, clearFaults},
      {{"fault", "list"}, "", "print the armed faults", {}, {}, listFaults},
  };
  return all;
}

constexpr const char* kFaultHelp =
    "A fault's options:\n"
    "  --delay-ms N        sleep N ms before the call acts\n"
    "  --code N            return N without carrying the call out (after any\n"
    "                      --delay-ms sleep)\n"
    "  --delay-after-ms N  let the call act and commit, then sleep N ms before it\n"
    "                      returns (not with --code): the effect is visible to\n"
    "                      others while the caller still waits for the result\n"
    "A fault with only a delay still carries the call out.\n";

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

void printUsage(std::ostream& out, const std::string& group) {
  out << "usage: tradesim [--db PATH] COMMAND [OPTIONS]\n\n"
         "The database is PATH, else $TRADESIM_DB, else tradesim.db; the journal is\n"
         "$TRADESIM_JOURNAL, else the database path with .journal appended.\n\n"
         "Commands:\n";
  for (const auto& command : commands()) {
    if (!group.empty() && command.words[0] != group) continue;
    out << "  " << joined(command.words) << (command.usage.empty() ? "" : " ") << command.usage << "\n      "
        << command.summary << "\n";
  }
  if (group.empty()) {
    out << "\nOperations for faults:";
    for (const auto& op : faultOperations()) out << " " << op;
    out << "\n" << kFaultHelp;
  }
}

void printCommandHelp(std::ostream& out, const Command& command) {
  out << "usage: tradesim [--db PATH] " << joined(command.words) << (command.usage.empty() ? "" : " ") << command.usage
      << "\n  " << command.summary << "\n";
  if (command.words[0] == "fault") {
    out << "Operations:";
    for (const auto& op : faultOperations()) out << " " << op;
    out << "\n" << kFaultHelp;
  }
}

const Command* findCommand(const std::vector<std::string>& words, size_t& used) {
  const Command* best = nullptr;
  for (const auto& command : commands()) {
    if (command.words.size() > words.size()) continue;
    bool match = true;
    for (size_t i = 0; i < command.words.size(); ++i) match = match && command.words[i] == words[i];
    if (match && (!best || command.words.size() > best->words.size())) best = &command;
  }
  used = best ? best->words.size() : 0;
  return best;
}

bool knownGroup(const std::string& word) {
  for (const auto& command : commands()) {
    if (command.words[0] == word) return true;
  }
  return false;
}

}  // namespace

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string databasePath = databasePathFromEnvironment();
  size_t next = 0;
  // Options before the command.
  for (; next < args.size() && args[next].rfind("-", 0) == 0; ++next) {
    if (args[next] == "--help" || args[next] == "-h") {
      printUsage(out, "");
      return kDone;
    }
    if (args[next] == "--db" && next + 1 < args.size()) {
      databasePath = args[++next];
    } else if (args[next].rfind("--db=", 0) == 0) {
      databasePath = args[next].substr(5);
    } else {
      err << "tradesim: unknown option " << args[next] << "\nTry 'tradesim --help'.\n";
      return kUsage;
    }
  }
  const std::vector<std::string> words(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
  if (words.empty()) {
    printUsage(err, "");
    return kUsage;
  }
  size_t used = 0;
  const Command* command = findCommand(words, used);
  if (!command) {
    const bool groupOnly = knownGroup(words[0]);
    const bool helpAsked = words.size() > 1 && (words[1] == "--help" || words[1] == "-h");
    if (groupOnly && helpAsked) {
      printUsage(out, words[0]);
      return kDone;
    }
    if (groupOnly) {
      err << "tradesim: "
          << (words.size() > 1 ? "unknown command '" + words[0] + " " + words[1] + "'"
                               : "'" + words[0] + "' needs a subcommand")
          << "\n";
      printUsage(err, words[0]);
    } else {
      err << "tradesim: unknown command '" << words[0] << "'\nTry 'tradesim --help'.\n";
    }
    return kUsage;
  }
  const std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(used), words.end());
  try {
    const Arguments arguments(rest, command->valueOptions, command->flags);
    if (arguments.help()) {
      printCommandHelp(out, *command);
      return kDone;
    }
    return command->run(Context{databasePath, out, err}, arguments);
  } catch (const UsageError& e) {
    err << "tradesim " << joined(command->words) << ": " << e.what() << "\n";
    printCommandHelp(err, *command);
    return kUsage;
  } catch (const CommandFailed& e) {
    err << "tradesim " << joined(command->words) << ": " << e.what() << "\n";
    return kFailed;
  } catch (const std::exception& e) {
    err << "tradesim " << joined(command->words) << ": " << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace tradesim::cli
