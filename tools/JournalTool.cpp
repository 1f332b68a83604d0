#include "tools/JournalTool.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <ostream>
#include <sstream>

#include "bus/ProcessOwner.h"
#include "host/ServiceConfig.h"
#include "support/PasswordMask.h"
#include "support/SqlDb.h"
#include "tools/JournalToolOptions.h"
#include "tools/JournalToolStore.h"

namespace {

constexpr int kDone = 0;
constexpr int kError = 1;
constexpr int kUsage = 2;
constexpr int64_t kDayMs = 24LL * 3600 * 1000;
constexpr const char* kProgram = "mqbridge-journal: ";

// Local time, "YYYY-MM-DD hh:mm:ss"; "-" for a step not reached.
std::string timeText(int64_t ms) {
  if (ms == 0) return "-";
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string amountText(double amount) {
  std::ostringstream text;
  text.precision(15);
  text << amount;
  return text.str();
}

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }
std::string orDash(uint64_t number) { return number == 0 ? "-" : std::to_string(number); }

// Whether the process named by a request still in hand can finish it, from
// its lease and the clock the lease was written on (nowMs).
std::string ownerText(JournalStore& journal, const JournalRow& r, int64_t nowMs) {
  if (r.state != "received" && r.state != "started" && r.state != "done") return orDash(r.owner);
  switch (ownerState(r.owner, journal.lease(r.owner), nowMs)) {
    case OwnerState::Alive:
      return r.owner + "(running)";
    case OwnerState::Gone:
      return orDash(r.owner) + "(gone)";
    case OwnerState::Elsewhere:
      return r.owner + "(other host)";
    case OwnerState::CutOff:
      return r.owner + "(lease ran out; may still be in a call)";
    case OwnerState::ThisProcess:
      break;
  }
  return r.owner;
}

void printList(JournalStore& journal, const std::vector<JournalRow>& rows, int64_t nowMs, std::ostream& out) {
  std::vector<std::vector<std::string>> table = {{"ID", "STATE", "QUEUE", "KIND", "MESSAGE-ID", "CORRELATION-ID",
                                                  "SERIAL", "LOGIN", "AMOUNT", "DEAL", "OWNER", "RECEIVED"}};
  for (const JournalRow& r : rows) {
    table.push_back({std::to_string(r.id), r.state, orDash(r.queue), orDash(r.kind), orDash(r.messageId),
                     orDash(r.correlationId), orDash(r.serial), orDash(r.login), amountText(r.amount), orDash(r.dealId),
                     ownerText(journal, r, nowMs), timeText(r.receivedAt)});
  }
  std::vector<std::size_t> width(table.front().size(), 0);
  for (const auto& line : table)
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  for (const auto& line : table) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(width[i] - line[i].size() + 2, ' ');
    }
    out << text << '\n';
  }
}

void printRequest(JournalStore& journal, const JournalRow& r, const std::vector<JournalHistoryLine>& history,
                  int64_t nowMs, std::ostream& out) {
  const std::pair<const char*, std::string> fields[] = {
      {"id", std::to_string(r.id)},
      {"state", r.state},
      {"queue", r.queue},
      {"kind", r.kind},
      {"message id", r.messageId},
      {"correlation id", r.correlationId},
      {"serial", r.serial},
      {"login", std::to_string(r.login)},
      {"amount", amountText(r.amount)},
      {"deal id", std::to_string(r.dealId)},
      {"changed", r.changed ? "yes" : "no"},
      {"owner", ownerText(journal, r, nowMs)},
      {"received", timeText(r.receivedAt)},
      {"started", timeText(r.startedAt)},
      {"done", timeText(r.doneAt)},
      {"confirmed", timeText(r.confirmedAt)},
      {"acknowledged", timeText(r.acknowledgedAt)},
      {"confirmed correlation id", r.confirmedCorrelationId},
      {"request digest", r.digest},
      {"planned change", maskPasswords(r.plan)},
      {"note", maskPasswords(r.note)},
      {"reply", maskPasswords(r.reply)},
  };
  for (const auto& [name, value] : fields) out << name << ':' << (value.empty() ? "" : " ") << value << '\n';
  out << "history:\n";
  for (const JournalHistoryLine& h : history) {
    out << "  " << timeText(h.at) << "  " << h.state << "  " << orDash(h.owner);
    if (!h.note.empty()) out << "  " << maskPasswords(h.note);
    out << '\n';
  }
}

// A relative path in the config is from the config's directory, where the
// service runs.
std::string besideConfig(const std::string& configPath, const std::string& path) {
  const std::size_t slash = configPath.rfind('/');
  if (path.empty() || path[0] == '/' || slash == std::string::npos) return path;
  return configPath.substr(0, slash + 1) + path;
}

// The server's URI with the password of "journalPasswordFile" as a
// parameter, as the service connects.
std::string withPasswordFile(const std::string& uri, const std::string& passwordFile) {
  try {
    return sqldb::withPasswordFile(uri, passwordFile);
  } catch (const std::runtime_error& e) {
    throw JournalToolError(e.what());
  }
}

// The journal the service started with this config would use: its file,
// or the database server of "journal". Named on err without a password.
std::string journalLocationOf(const JournalToolOptions& o, std::ostream& err) {
  if (!o.journal.empty()) {
    err << kProgram << "journal " << sqldb::locationForLog(o.journal) << '\n';
    return o.journal;
  }
  if (readConfigFile(o.configPath) != 1) throw JournalToolError(configError());
  const ServiceConfig& config = serviceConfig();
  if (!config.journal.empty()) {
    err << kProgram << "journal " << sqldb::locationForLog(config.journal) << " (journal of " << o.configPath << ")\n";
    if (config.journalPasswordFile.empty()) return config.journal;
    return withPasswordFile(config.journal, besideConfig(o.configPath, config.journalPasswordFile));
  }
  const std::string path = besideConfig(o.configPath, config.journalPath);
  err << kProgram << "journal " << path << " (journalPath of " << o.configPath << ")\n";
  return path;
}

int run(const JournalToolOptions& o, std::ostream& out, std::ostream& err, int busyTimeoutMs) {
  const std::string location = journalLocationOf(o, err);
  const auto access = o.command == JournalCommand::Resolve ? JournalStore::Access::Write : JournalStore::Access::Read;
  JournalStore journal(location, access, busyTimeoutMs);
  switch (o.command) {
    case JournalCommand::List: {
      const int64_t now = journal.nowMs();
      const int64_t since = o.sinceDays > 0 ? now - o.sinceDays * kDayMs : 0;
      const std::vector<JournalRow> rows = o.all ? journal.all(since) : journal.toReconcile();
      if (rows.empty()) {
        out << (o.all ? "no requests\n" : "nothing to reconcile\n");
      } else {
        printList(journal, rows, now, out);
      }
      return kDone;
    }
    case JournalCommand::Show: {
      const JournalRow row = journal.find(o.id);
      const std::vector<JournalHistoryLine> history = journal.history(row.id);
      printRequest(journal, row, history, journal.nowMs(), out);
      return kDone;
    }
    case JournalCommand::Resolve: {
      const JournalRow row = journal.resolve(o.id, o.note);
      out << "request " << row.id << " (message " << row.messageId << " on " << row.queue << ") resolved\n";
      return kDone;
    }
  }
  return kError;
}

// One line, whatever the database's message held (libpq's may span lines).
std::string oneLine(const std::string& text) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch != '\n' && ch != '\r' && ch != '\t') {
      line += ch;
      continue;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    while (i + 1 < text.size() && std::isspace(static_cast<unsigned char>(text[i + 1]))) ++i;
    if (!line.empty() && i + 1 < text.size()) line += ' ';
  }
  return line;
}

}  // namespace

int runJournalTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, int busyTimeoutMs) {
  JournalToolOptions options;
  try {
    options = parseJournalToolOptions(args);
  } catch (const JournalUsageError& e) {
    err << kProgram << e.what() << '\n' << journalToolUsage();
    return kUsage;
  }
  if (options.help) {
    out << journalToolUsage();
    return kDone;
  }
  try {
    return run(options, out, err, busyTimeoutMs);
  } catch (const std::exception& e) {
    err << kProgram << oneLine(e.what()) << '\n';
    return kError;
  }
}
