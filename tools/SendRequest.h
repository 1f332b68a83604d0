#pragma once
// One request and its reply: what mqbridge-send does once its arguments are
// understood. Separate from main so that it reads as one story.
#include <chrono>
#include <stdexcept>
#include <string>

#include "host/ServiceConfig.h"
#include "tools/SendOptions.h"

struct SendError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the service's config.ini at path (only what the tool needs: broker
// URI, credentials, queue names). Throws SendError naming the problem.
ServiceConfig loadSendConfig(const std::string& path);

// A fresh correlation id ("mqbridge-send-" and 32 hex digits).
std::string freshCorrelationId();

// Sends json to the kind's request queue with correlationId and waits up to
// timeout for the reply carrying that id on the kind's callback queue; the
// reply is acknowledged before the connection closes. Returns the reply
// body. Throws SendError on time-out, stomp::Error on a broker error.
std::string exchange(const ServiceConfig& config, RequestKind kind, const std::string& json,
                     const std::string& correlationId, std::chrono::milliseconds timeout);

// The reply's "code" when it is a JSON object with an integer code.
bool replyCode(const std::string& reply, long long& code);
