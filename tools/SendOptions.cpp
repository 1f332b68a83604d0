#include "tools/SendOptions.h"

#include <cmath>
#include <cstdlib>

const char* sendUsage() {
  return "usage: mqbridge-send [--config PATH] [--timeout SEC] KIND [JSON]\n"
         "\n"
         "Puts one JSON request on the request queue of KIND, waits for the reply\n"
         "with the same correlation id on KIND's callback queue and prints it.\n"
         "\n"
         "  KIND           create | update | password | trade\n"
         "  JSON           the request object; read from standard input when absent\n"
         "  --config PATH  the service's config.ini (queue names, broker URI and\n"
         "                 credentials); default ./config.ini\n"
         "  --timeout SEC  how long to wait for the reply; default 30\n"
         "  --help         this text\n"
         "\n"
         "Exit status: 0 reply with code 200, 1 reply with another code,\n"
         "2 no reply in time or an error (message on standard error).\n";
}

std::optional<RequestKind> kindFromName(const std::string& name) {
  if (name == "create") return RequestKind::Create;
  if (name == "update") return RequestKind::Update;
  if (name == "password") return RequestKind::Password;
  if (name == "trade") return RequestKind::Trade;
  return std::nullopt;
}

KindQueues queuesOf(const ServiceConfig& c, RequestKind kind) {
  switch (kind) {
    case RequestKind::Create:
      return {c.userRecordCreate, c.userRecordCreateCallback};
    case RequestKind::Update:
      return {c.userRecordUpdate, c.userRecordUpdateCallback};
    case RequestKind::Password:
      return {c.userRecordPasswordUpdate, c.userRecordPasswordUpdateCallback};
    case RequestKind::Trade:
      break;
  }
  return {c.tradeTransInfo, c.tradeTransInfoCallback};
}

namespace {

double parseTimeout(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 86400)
    throw UsageError("--timeout takes a number of seconds above 0 and at most 86400, not '" + text + "'");
  return value;
}

}  // namespace

SendOptions parseSendOptions(const std::vector<std::string>& args) {
  SendOptions options;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == "--config") {
      options.configPath = value();
    } else if (a == "--timeout") {
      options.timeoutSeconds = parseTimeout(value());
    } else if (a == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (options.help) return options;
  if (positional.empty()) throw UsageError("KIND is missing (create, update, password or trade)");
  if (positional.size() > 2) throw UsageError("too many arguments; give the JSON as one argument");
  const auto kind = kindFromName(positional[0]);
  if (!kind) throw UsageError("unknown KIND '" + positional[0] + "' (create, update, password or trade)");
  options.kind = *kind;
  if (positional.size() == 2) options.json = positional[1];
  return options;
}
