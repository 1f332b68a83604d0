#pragma once
// Command line of mqbridge-send:
//   mqbridge-send [--config PATH] [--timeout SEC] KIND [JSON]
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/ServiceConfig.h"

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class RequestKind { Create, Update, Password, Trade };

struct SendOptions {
  bool help = false;
  std::string configPath = "config.ini";
  double timeoutSeconds = 30.0;
  RequestKind kind = RequestKind::Trade;
  std::optional<std::string> json;  // none: read standard input
};

// Throws UsageError with a one-line reason.
SendOptions parseSendOptions(const std::vector<std::string>& args);

// "create", "update", "password" or "trade".
std::optional<RequestKind> kindFromName(const std::string& name);

// The request queue and the callback queue of a kind.
struct KindQueues {
  std::string request;
  std::string callback;
};
KindQueues queuesOf(const ServiceConfig& config, RequestKind kind);

const char* sendUsage();
