#pragma once
// Broker URIs: tcp://host:port, ssl://host:port (and the aliases stomp://,
// stomp+ssl://), each with ?caFile=..&verifyPeer=..&verifyHostName=..; and
// failover:(uri,uri,...)?options or failover:uri. Protocol core: no I/O.
#include <chrono>
#include <string>
#include <vector>

namespace stomp {

struct Endpoint {
  std::string uri;  // as written, for messages
  std::string host;
  std::string port;  // digits
  bool tls = false;
  std::string caFile;  // PEM of trusted CAs; empty: system default
  bool verifyPeer = true;
  bool verifyHostName = true;
};

struct FailoverOptions {
  std::chrono::milliseconds initialReconnectDelay{10};
  std::chrono::milliseconds maxReconnectDelay{30000};
  double backOffMultiplier = 2.0;
  bool useExponentialBackOff = true;
  int maxReconnectAttempts = -1;         // -1: without end
  int startupMaxReconnectAttempts = -1;  // -1: as maxReconnectAttempts
  bool randomize = true;
};

struct BrokerUri {
  std::string text;
  bool failover = false;
  std::vector<Endpoint> endpoints;
  FailoverOptions options;
};

// Throws UriError naming the URI and what is wrong with it.
BrokerUri parseBrokerUri(const std::string& text);

// Delay before reconnect attempt `attempt` (1-based) under `options`.
std::chrono::milliseconds reconnectDelay(const FailoverOptions& options, int attempt);

}  // namespace stomp
