#include "tradesim/cli/Arguments.h"

#include <limits>

namespace tradesim::cli {

Arguments::Arguments(const std::vector<std::string>& words, const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flags) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--help" || word == "-h") {
      help_ = true;
      continue;
    }
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
      positionals_.push_back(word);
      continue;
    }
    std::string name = word.substr(2);
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    if (flags.count(name)) {
      if (inlineValue) throw UsageError("option --" + name + " takes no value");
      flags_.insert(name);
    } else if (valueOptions.count(name)) {
      if (values_.count(name)) throw UsageError("option --" + name + " given twice");
      if (inlineValue) {
        values_[name] = *inlineValue;
      } else if (i + 1 < words.size()) {
        values_[name] = words[++i];
      } else {
        throw UsageError("option --" + name + " needs a value");
      }
    } else {
      throw UsageError("unknown option --" + name);
    }
  }
}

std::optional<std::string> Arguments::value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::string Arguments::required(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) throw UsageError("missing option --" + name);
  return found->second;
}

void Arguments::expectPositionals(size_t min, size_t max, const std::string& what) const {
  if (positionals_.size() < min) throw UsageError("missing " + what);
  if (positionals_.size() > max) throw UsageError("unexpected argument '" + positionals_[max] + "'");
}

uint64_t parseUnsigned(const std::string& text, const std::string& what) {
  if (text.empty() || text.size() > 20) throw UsageError(what + " must be a whole number, not '" + text + "'");
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw UsageError(what + " must be a whole number, not '" + text + "'");
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) throw UsageError(what + " is too large");
    value = value * 10 + digit;
  }
  return value;
}

uint32_t parseUnsigned32(const std::string& text, const std::string& what) {
  const uint64_t value = parseUnsigned(text, what);
  if (value > std::numeric_limits<uint32_t>::max()) throw UsageError(what + " is too large");
  return static_cast<uint32_t>(value);
}

Money parseAmount(const std::string& text, const std::string& what) {
  const auto money = parseMoney(text);
  if (!money) {
    throw UsageError(what + " must be a decimal amount with at most 8 decimals and below 10 billion, not '" + text +
                     "'");
  }
  return *money;
}

}  // namespace tradesim::cli
