#pragma once
// The service's request path without broker and trading server: the text is
// parsed as the router does, each of the four request records is built from
// it and writes its success and failure replies, and every reply is read back
// and checked. Used by the fuzz target and by its regression test.
#include <stdexcept>
#include <string>

namespace bench {

// A reply that breaks the reply format (not one JSON object with code, data
// and msg, or data not echoing the record).
class RequestPathViolation : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

struct RequestPathOutcome {
  bool parsed = false;   // JSON object: the router would route it
  int recordsBuilt = 0;  // of four; a wrongly typed member refuses a record
  int repliesChecked = 0;
};

// Never lets an exception other than RequestPathViolation escape.
RequestPathOutcome runRequestPath(const std::string& text);

}  // namespace bench
