#include "tools/JournalToolOptions.h"

#include <cerrno>
#include <cstdlib>

const char* journalToolUsage() {
  return "usage: mqbridge-journal [--journal PATH|URI] [--config PATH] [COMMAND]\n"
         "\n"
         "Reads the service's request journal for an operator reconciling it.\n"
         "\n"
         "  list [--all [--since DAYS]]\n"
         "                 the requests to look at (the default command): in doubt,\n"
         "                 started (in hand, or left by a process that died), done\n"
         "                 but not confirmed by the broker; --all lists every\n"
         "                 request, --since only those received in the last DAYS days\n"
         "  show ID        one request (ID: its row id or its message id) with its\n"
         "                 history and stored reply, passwords masked\n"
         "  resolve ID --note TEXT\n"
         "                 marks an in-doubt request resolved once the trading server\n"
         "                 was checked; TEXT says what was found\n"
         "\n"
         "  --journal PATH the journal file, or\n"
         "  --journal URI  a journal on a PostgreSQL server,\n"
         "                 postgresql://USER@HOST[:PORT]/DB[?PARAMS] (or postgres://),\n"
         "                 its password from PGPASSWORD or PGPASSFILE as libpq reads\n"
         "                 them. Default: the config's \"journal\" URI (the password\n"
         "                 from its \"journalPasswordFile\"), else its journalPath\n"
         "                 (../journal/requests.db); relative paths are from the\n"
         "                 config's directory, where the service runs\n"
         "  --config PATH  the service's config.ini; default ./config.ini\n"
         "  --help         this text\n"
         "\n"
         "Only resolve writes to the journal; nothing is ever created.\n"
         "Exit status: 0 done, 1 an error (one line on standard error), 2 bad usage.\n";
}

namespace {

int parseDays(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    throw JournalUsageError("--since needs a whole number of days, not '" + text + "'");
  errno = 0;
  const long days = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || days < 1 || days > 100000)
    throw JournalUsageError("--since needs a whole number of days from 1, not '" + text + "'");
  return static_cast<int>(days);
}

}  // namespace

JournalToolOptions parseJournalToolOptions(const std::vector<std::string>& args) {
  JournalToolOptions o;
  std::vector<std::string> words;
  bool sawSince = false;
  bool sawNote = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw JournalUsageError(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      return o;  // whatever else is on the line
    } else if (arg == "--journal") {
      o.journal = value();
      if (o.journal.empty()) throw JournalUsageError("--journal needs a path or a postgresql:// URI");
      // A keyword conninfo would be taken for a file name and shown back,
      // password and all.
      if (o.journal.find("password=") != std::string::npos && o.journal.find("://") == std::string::npos)
        throw JournalUsageError("--journal takes a file path or a postgresql:// URI, not keywords such as password=");
    } else if (arg == "--config") {
      o.configPath = value();
      if (o.configPath.empty()) throw JournalUsageError("--config needs a path");
    } else if (arg == "--all") {
      o.all = true;
    } else if (arg == "--since") {
      o.sinceDays = parseDays(value());
      sawSince = true;
    } else if (arg == "--note") {
      o.note = value();
      sawNote = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw JournalUsageError("unknown option " + arg);
    } else {
      words.push_back(arg);
    }
  }
  const std::string command = words.empty() ? "list" : words.front();
  const std::size_t operands = words.empty() ? 0 : words.size() - 1;
  if (command == "list") {
    o.command = JournalCommand::List;
    if (operands != 0) throw JournalUsageError("list takes no operand");
  } else if (command == "show" || command == "resolve") {
    o.command = command == "show" ? JournalCommand::Show : JournalCommand::Resolve;
    if (operands != 1) throw JournalUsageError(command + " needs one ID");
    o.id = words[1];
    if (o.id.empty()) throw JournalUsageError(command + " needs one ID");
  } else {
    throw JournalUsageError("unknown command '" + command + "'");
  }
  if (o.command != JournalCommand::List && (o.all || sawSince))
    throw JournalUsageError("--all and --since belong to list");
  if (sawSince && !o.all) throw JournalUsageError("--since needs --all");
  if (o.command == JournalCommand::Resolve) {
    if (!sawNote || o.note.find_first_not_of(" \t\r\n") == std::string::npos)
      throw JournalUsageError("resolve needs --note TEXT saying what was checked");
  } else if (sawNote) {
    throw JournalUsageError("--note belongs to resolve");
  }
  return o;
}
