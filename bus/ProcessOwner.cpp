#include "bus/ProcessOwner.h"

#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace {

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
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

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t slash = text.find('/', from);
    parts.push_back(text.substr(from, slash - from));
    if (slash == std::string::npos) return parts;
    from = slash + 1;
  }
}

// From the process table of this host: whether host/pid/start names a
// process that still runs.
OwnerState processState(const std::vector<std::string>& name) {
  if (name.size() < 3) return OwnerState::Gone;
  if (name[0] != hostName()) return OwnerState::Elsewhere;
  const std::string& pid = name[1];
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return OwnerState::Gone;
  const std::string now = startTimeOf(pid);
  return !now.empty() && now == name[2] ? OwnerState::Alive : OwnerState::Gone;
}

}  // namespace

const std::string& thisProcessOwner() {
  static const std::string owner = [] {
    const std::string pid = std::to_string(::getpid());
    std::random_device random;
    std::ostringstream nonce;
    nonce << std::hex << random() << random();
    return hostName() + "/" + pid + "/" + startTimeOf(pid) + "/" + nonce.str();
  }();
  return owner;
}

const std::string& thisProcessPlace() {
  static const std::string place = [] {
    char ns[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/pid", ns, sizeof ns - 1);
    return firstLine("/proc/sys/kernel/random/boot_id") + " " + (n > 0 ? std::string(ns, n) : std::string());
  }();
  return place;
}

OwnerState ownerState(const std::string& owner, const std::optional<OwnerLease>& lease, int64_t nowMs) {
  if (owner == thisProcessOwner()) return OwnerState::ThisProcess;
  const std::vector<std::string> name = split(owner);
  if (!lease) {
    // Names with a nonce always had a lease: none left means a clean stop.
    return name.size() == 3 ? processState(name) : OwnerState::Gone;
  }
  const int64_t age = nowMs - lease->renewedAtMs;
  const OwnerState expired = age > kLeaseExpiryMs + kLongestCallMs ? OwnerState::Gone : OwnerState::CutOff;
  // Here a process that ended is known gone at once, whatever its lease.
  if (lease->place == thisProcessPlace() && processState(name) == OwnerState::Gone) return OwnerState::Gone;
  return age > kLeaseExpiryMs ? expired : OwnerState::Alive;
}
