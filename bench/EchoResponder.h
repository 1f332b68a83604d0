#pragma once
// The ceiling for the service: consumes the four request queues and answers
// each request with a fixed reply through the same client library, with the
// same acknowledgement (after the reply's receipt) and the same
// correlation-id rule, but without any work of its own.
#include "bench/BenchOptions.h"
#include "bench/QueueNames.h"

namespace bench {

// Runs until SIGINT or SIGTERM; prints "echo ready" once all four queues are
// read and a summary at the end. Returns the exit status.
int runEcho(const EchoOptions& options, const BrokerSettings& settings);

// The reply's correlation id: the request's correlation-id, else its message id.
std::string replyCorrelationId(const std::string& correlationId, const std::string& messageId);

}  // namespace bench
