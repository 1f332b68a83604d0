#pragma once
// Small helpers shared by the ConnectionCore files.
#include "stomp/Connection.h"
#include "stomp/Failure.h"

#include <chrono>
#include <exception>
#include <string>

namespace stomp::detail {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::string ms(milliseconds d) { return std::to_string(d.count()) + " ms"; }

template <class E>
std::exception_ptr err(const std::string& what) {
  return std::make_exception_ptr(E(what));
}

// The public callback's form of an internal completion.
inline ResultHandler reportingTo(SendCallback done) {
  return [done = std::move(done)](const Failure* failure) {
    if (done) done(failure ? toException(*failure) : nullptr);
  };
}

}  // namespace stomp::detail
