#pragma once
// Command-line options of one tradesim command: "--name value",
// "--name=value", bare flags and positional words, checked against what the
// command accepts.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tradesim/Money.h"

namespace tradesim::cli {

// Bad command-line input; the message says what and how to fix it.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Arguments {
 public:
  // Throws UsageError for an option the command does not take, a value
  // missing after an option, or an option given twice.
  Arguments(const std::vector<std::string>& words, const std::set<std::string>& valueOptions,
            const std::set<std::string>& flags);

  bool help() const { return help_; }
  bool flag(const std::string& name) const { return flags_.count(name) != 0; }
  std::optional<std::string> value(const std::string& name) const;
  std::string required(const std::string& name) const;
  const std::vector<std::string>& positionals() const { return positionals_; }
  // Throws unless there are between min and max positional words.
  void expectPositionals(size_t min, size_t max, const std::string& what) const;

 private:
  bool help_ = false;
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
  std::vector<std::string> positionals_;
};

uint64_t parseUnsigned(const std::string& text, const std::string& what);
uint32_t parseUnsigned32(const std::string& text, const std::string& what);
Money parseAmount(const std::string& text, const std::string& what);

}  // namespace tradesim::cli
