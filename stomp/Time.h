#pragma once
// The time type the policy units are told about. They never read a clock:
// the transport passes the steady clock's now, tests pass whatever they like.
#include <chrono>

namespace stomp {

using SteadyTime = std::chrono::steady_clock::time_point;
using std::chrono::milliseconds;

}  // namespace stomp
