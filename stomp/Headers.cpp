#include "stomp/Headers.h"

namespace stomp {

std::optional<std::string> findHeader(const Headers& headers, const std::string& name) {
  for (const auto& h : headers)
    if (h.first == name) return h.second;
  return std::nullopt;
}

}  // namespace stomp
