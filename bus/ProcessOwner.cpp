#include "bus/ProcessOwner.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// Field 22 of /proc/PID/stat; "" when there is no such process or it has
// ended and waits to be reaped. The command name (field 2) may hold blanks
// and parentheses: count from its last ')'.
std::string startTimeOf(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  for (int n = 3; n <= 22 && (fields >> field); ++n) {
    if (n == 3 && (field == "Z" || field == "X")) return "";
    if (n == 22) return field;
  }
  return "";
}

}  // namespace

const std::string& thisProcessOwner() {
  static const std::string owner = [] {
    const std::string pid = std::to_string(::getpid());
    return hostName() + "/" + pid + "/" + startTimeOf(pid);
  }();
  return owner;
}

OwnerState ownerState(const std::string& owner) {
  if (owner == thisProcessOwner()) return OwnerState::ThisProcess;
  const std::size_t first = owner.find('/');
  const std::size_t second = first == std::string::npos ? first : owner.find('/', first + 1);
  if (second == std::string::npos) return OwnerState::Gone;
  if (owner.substr(0, first) != hostName()) return OwnerState::Elsewhere;
  const std::string pid = owner.substr(first + 1, second - first - 1);
  const std::string start = owner.substr(second + 1);
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return OwnerState::Gone;
  const std::string now = startTimeOf(pid);
  return !now.empty() && now == start ? OwnerState::Alive : OwnerState::Gone;
}
