#include "tradesim/cli/Commands.h"

#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tradesim/Store.h"
#include "tradesim/cli/Arguments.h"
#include "tradesim/cli/Handlers.h"

namespace tradesim::cli {
namespace {

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

std::set<std::string> accountOptions() {
  std::set<std::string> options = kAccountTexts;
  options.insert({"login", "agent", "rights", "leverage", "balance", "credit", "master-pass", "investor-pass"});
  return options;
}

std::set<std::string> updateOptions() {
  std::set<std::string> options = kAccountTexts;
  options.insert({"agent", "rights", "leverage"});
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
      {{"manager", "password"},
       "--login N --password PASS",
       "change a manager's password (open sessions stay; the next log-in needs it)",
       {"login", "password"},
       {},
       setManagerPassword},
      {{"account", "add"},
       "[--login N] [--name T] [--group T] [--country T] [--city T] [--zip T] [--address T] [--phone T] "
       "[--email T] [--id T] [--comment T] [--lead-source T] [--agent N] [--rights N] [--leverage N] "
       "[--balance X] [--credit X] [--master-pass P] [--investor-pass P]",
       "add an account (without --login the next free login is taken); prints login=N",
       accountOptions(),
       {},
       addAccount},
      {{"account", "update"},
       "LOGIN [--name T] [--group T] [--country T] [--city T] [--zip T] [--address T] [--phone T] [--email T] "
       "[--id T] [--comment T] [--lead-source T] [--agent N] [--rights N] [--leverage N]",
       "change an account's attributes as another manager would; the others stay",
       updateOptions(),
       {},
       updateAccount},
      {{"account", "show"}, "LOGIN", "print an account as key=value lines", {}, {}, showAccount},
      {{"account", "list"},
       "",
       "print login, name, group, balance, credit per account (tab-separated)",
       {},
       {},
       listAccounts},
      {{"deal", "add"},
       "--login N --amount X [--action balance|credit] [--comment T] [--manager LOGIN]",
       "post a balance or credit deal as manager LOGIN would (default 0: the server's own console); prints deal=ID",
       {"login", "amount", "action", "comment", "manager"},
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
       "print id, login, action, amount, comment, time, manager per deal (tab-separated)",
       {"login"},
       {},
       listDeals},
      {{"server", "stop"},
       "",
       "stop the server: every session is dropped and every manager call answers 1100 (Network) until it starts",
       {},
       {},
       stopServer},
      {{"server", "start"},
       "",
       "start a stopped server: calls answer 1103 (NotConnected) until a session is opened again",
       {},
       {},
       startServer},
      {{"server", "status"}, "", "print running or stopped", {}, {}, printServerStatus},
      {{"time"}, "", "print the server's clock as now=MS (milliseconds since the epoch)", {}, {}, printTime},
      {{"journal"}, "", "print the journal", {}, {}, printJournal},
      {{"fault", "arm"},
       "OPERATION [--code N | --code-after N] [--delay-ms N] [--delay-after-ms N] [--count K]",
       "make the next K (default 1) calls of OPERATION fail or stall, as told below",
       {"code", "code-after", "delay-ms", "delay-after-ms", "count"},
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
    "  --code-after N      let the call act and commit, sleep any --delay-after-ms,\n"
    "                      then return N instead of its result, as when the answer\n"
    "                      is lost after the effect (not with --code; a deal id\n"
    "                      is not handed back)\n"
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
