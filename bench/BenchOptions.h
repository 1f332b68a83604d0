#pragma once
// Command line of mqbridge-bench:
//   mqbridge-bench [run] --config FILE [options]   put load on the service
//   mqbridge-bench echo --config FILE [options]    answer like the service, fixed reply
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ReplyTracker.h"
#include "bench/RequestKinds.h"

namespace bench {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RunOptions {
  std::string configPath;
  std::string brokerUri;  // empty: the config's brokerURI
  uint64_t requests = 10000;
  unsigned window = 64;
  double rate = 0;  // requests per second; 0: closed loop with `window`
  uint64_t warmup = 0;
  std::string mix = "deposit";
  RequestTargets targets;
  bool accountGiven = false;
  std::chrono::milliseconds drainIdle{10000};
  std::chrono::milliseconds linger{0};
  std::chrono::milliseconds receiptTimeout{10000};
  std::string jsonPath;
  std::string label = "service";
  std::string runId;  // empty: made up from the clock and pid
  CheckMode check = CheckMode::Body;
  unsigned prefetch = 1000;
  std::vector<int32_t> allowedCodes;  // failure codes accepted instead of the expected one
  unsigned resends = 0;               // times a failed send is tried again with the same id
};

// How the echo responder confirms a reply before acknowledging its request.
enum class EchoConfirm {
  Each,       // a blocking send per reply, then the ACK
  Pipelined,  // each reply's receipt acknowledges its request; next reply meanwhile
  Batched,    // replies in one transaction on the producer, then each ACK confirmed
  Joint,      // replies and ACKs in one transaction on the consumer's connection
};

struct EchoOptions {
  std::string configPath;
  std::string brokerUri;
  EchoConfirm confirm = EchoConfirm::Each;
  // Largest batch of replies one commit confirms (batched and joint).
  unsigned batch = 64;
  // Requests the broker hands out before an acknowledgement; 1 is what the
  // service's consumers ask for. 0: the broker's default.
  unsigned prefetch = 1;
  std::chrono::milliseconds receiptTimeout{10000};
  // Time spent on each request before its reply, standing in for the
  // trading server's (waiting, not computing).
  std::chrono::microseconds work{0};
};

struct Command {
  enum class Kind { Run, Echo, Help } kind = Kind::Run;
  RunOptions run;
  EchoOptions echo;
};

// Throws UsageError with a message naming the bad option.
Command parseCommandLine(const std::vector<std::string>& args);
std::string usageText();

}  // namespace bench
