#include "stomp/BrokerUri.h"

#include "stomp/Error.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace stomp {

namespace {

[[noreturn]] void bad(const std::string& uri, const std::string& why) {
  throw UriError("invalid broker URI '" + uri + "': " + why);
}

std::map<std::string, std::string> parseQuery(const std::string& uri, const std::string& query) {
  std::map<std::string, std::string> out;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t amp = query.find('&', start);
    std::string item = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    if (!item.empty()) {
      std::size_t eq = item.find('=');
      if (eq == std::string::npos || eq == 0) bad(uri, "option '" + item + "' is not name=value");
      std::string name = item.substr(0, eq);
      if (out.count(name)) bad(uri, "option '" + name + "' given twice");
      out[name] = item.substr(eq + 1);
    }
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return out;
}

bool parseBool(const std::string& uri, const std::string& name, const std::string& value) {
  if (value == "true") return true;
  if (value == "false") return false;
  bad(uri, "option " + name + " must be true or false, not '" + value + "'");
}

long long parseNumber(const std::string& uri, const std::string& name, const std::string& value, long long min) {
  bool negative = !value.empty() && value[0] == '-';
  std::string digits = negative ? value.substr(1) : value;
  if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos)
    bad(uri, "option " + name + " must be a whole number, not '" + value + "'");
  long long n = std::stoll(digits) * (negative ? -1 : 1);
  if (n < min) bad(uri, "option " + name + " must be at least " + std::to_string(min));
  return n;
}

Endpoint parseEndpoint(const std::string& text) {
  Endpoint e;
  e.uri = text;
  std::size_t sep = text.find("://");
  if (sep == std::string::npos) bad(text, "expected scheme://host:port");
  std::string scheme = text.substr(0, sep);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  if (scheme == "tcp" || scheme == "stomp")
    e.tls = false;
  else if (scheme == "ssl" || scheme == "stomp+ssl")
    e.tls = true;
  else
    bad(text, "unsupported scheme '" + scheme + "' (use tcp, ssl, stomp, stomp+ssl or failover)");

  std::string rest = text.substr(sep + 3);
  std::string query;
  std::size_t q = rest.find('?');
  if (q != std::string::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('/') != std::string::npos) bad(text, "a path is not allowed after host:port");

  std::string host, port;
  if (!rest.empty() && rest[0] == '[') {
    std::size_t close = rest.find(']');
    if (close == std::string::npos) bad(text, "unclosed '[' in IPv6 address");
    host = rest.substr(1, close - 1);
    std::string after = rest.substr(close + 1);
    if (after.empty() || after[0] != ':') bad(text, "missing port");
    port = after.substr(1);
  } else {
    std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) bad(text, "missing port");
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) bad(text, "missing host");
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535)
    bad(text, "port must be a number from 1 to 65535");
  e.host = host;
  e.port = port;

  for (const auto& [name, value] : parseQuery(text, query)) {
    if (name == "caFile") {
      if (value.empty()) bad(text, "caFile is empty");
      e.caFile = value;
    } else if (name == "verifyPeer") {
      e.verifyPeer = parseBool(text, name, value);
    } else if (name == "verifyHostName") {
      e.verifyHostName = parseBool(text, name, value);
    } else if (name == "wireFormat") {
      if (value != "stomp") bad(text, "wireFormat must be stomp: this client speaks STOMP only");
    } else {
      bad(text, "unknown option '" + name + "'");
    }
  }
  if (!e.tls && (!e.caFile.empty())) bad(text, "caFile is an option of ssl:// URIs");
  return e;
}

}  // namespace

BrokerUri parseBrokerUri(const std::string& input) {
  // Surrounding blanks are a common copy-and-paste slip; anything else inside is not.
  std::size_t b = input.find_first_not_of(" \t\r\n");
  std::size_t e = input.find_last_not_of(" \t\r\n");
  std::string text = b == std::string::npos ? std::string() : input.substr(b, e - b + 1);
  if (text.empty()) throw UriError("invalid broker URI '" + input + "': empty");
  if (text.find_first_of(" \t\r\n") != std::string::npos) bad(text, "contains blanks");

  BrokerUri uri;
  uri.text = text;
  static const std::string prefix = "failover:";
  if (text.compare(0, prefix.size(), prefix) != 0) {
    uri.endpoints.push_back(parseEndpoint(text));
    return uri;
  }

  uri.failover = true;
  std::string rest = text.substr(prefix.size());
  std::string list, query;
  if (!rest.empty() && rest[0] == '(') {
    std::size_t close = rest.find(')');
    if (close == std::string::npos) bad(text, "missing ')' after the failover list");
    list = rest.substr(1, close - 1);
    std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != '?') bad(text, "expected '?' after ')'");
      query = after.substr(1);
    }
  } else {
    // failover:tcp://h:p?opts -- the query belongs to the one inner URI,
    // unless it holds failover options; those are taken here.
    list = rest;
    std::size_t q = list.find('?');
    if (q != std::string::npos) {
      static const char* endpointOptions[] = {"caFile=", "verifyPeer=", "verifyHostName=", "wireFormat="};
      std::string inner, outer;
      for (const auto& [name, value] : parseQuery(text, list.substr(q + 1))) {
        std::string item = name + "=" + value;
        bool forEndpoint = false;
        for (const char* p : endpointOptions)
          forEndpoint = forEndpoint || item.compare(0, std::char_traits<char>::length(p), p) == 0;
        std::string& target = forEndpoint ? inner : outer;
        target += (target.empty() ? "" : "&") + item;
      }
      list = list.substr(0, q) + (inner.empty() ? "" : "?" + inner);
      query = outer;
    }
  }

  std::size_t start = 0;
  while (true) {
    std::size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) bad(text, "empty entry in the failover list");
    try {
      uri.endpoints.push_back(parseEndpoint(item));
    } catch (const UriError& e) {
      bad(text, e.what());  // name the whole URI as configured
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }

  FailoverOptions& o = uri.options;
  for (const auto& [name, value] : parseQuery(text, query)) {
    if (name == "initialReconnectDelay")
      o.initialReconnectDelay = std::chrono::milliseconds(parseNumber(text, name, value, 0));
    else if (name == "maxReconnectDelay")
      o.maxReconnectDelay = std::chrono::milliseconds(parseNumber(text, name, value, 0));
    else if (name == "maxReconnectAttempts")
      o.maxReconnectAttempts = static_cast<int>(parseNumber(text, name, value, -1));
    else if (name == "startupMaxReconnectAttempts")
      o.startupMaxReconnectAttempts = static_cast<int>(parseNumber(text, name, value, -1));
    else if (name == "randomize")
      o.randomize = parseBool(text, name, value);
    else if (name == "useExponentialBackOff")
      o.useExponentialBackOff = parseBool(text, name, value);
    else if (name == "backOffMultiplier") {
      char* end = nullptr;
      double m = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(m >= 1.0) || m > 1000)
        bad(text, "backOffMultiplier must be a number from 1 to 1000");
      o.backOffMultiplier = m;
    } else
      bad(text, "unknown failover option '" + name + "'");
  }
  if (o.maxReconnectDelay < o.initialReconnectDelay) o.maxReconnectDelay = o.initialReconnectDelay;
  return uri;
}

std::chrono::milliseconds reconnectDelay(const FailoverOptions& o, int attempt) {
  double delay = static_cast<double>(o.initialReconnectDelay.count());
  if (o.useExponentialBackOff) delay *= std::pow(o.backOffMultiplier, std::max(0, attempt - 1));
  delay = std::min(delay, static_cast<double>(o.maxReconnectDelay.count()));
  return std::chrono::milliseconds(static_cast<long long>(delay));
}

}  // namespace stomp
