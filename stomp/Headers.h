#pragma once
// Frame headers in wire order. A name may repeat; the first occurrence wins.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace stomp {

using Header = std::pair<std::string, std::string>;
using Headers = std::vector<Header>;

// The value of the first header called `name`, if any.
std::optional<std::string> findHeader(const Headers& headers, const std::string& name);

}  // namespace stomp
