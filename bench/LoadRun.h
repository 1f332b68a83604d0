#pragma once
// One load run against the broker: requests out on the four request queues,
// replies in from the four callback queues.
#include "bench/BenchOptions.h"
#include "bench/QueueNames.h"
#include "bench/RunReport.h"

namespace bench {

// Throws stomp::Error when the broker cannot be reached.
RunResult runLoad(const RunOptions& options, const BrokerSettings& settings);

}  // namespace bench
