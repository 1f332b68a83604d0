#pragma once
// A queue or topic on the broker, and its STOMP name ("/queue/q", "/topic/t").
#include <string>

namespace stomp {

class Destination {
 public:
  enum class Kind { Queue, Topic };

  static Destination queue(std::string name) { return Destination(Kind::Queue, std::move(name)); }
  static Destination topic(std::string name) { return Destination(Kind::Topic, std::move(name)); }
  // "/queue/x" -> queue x, "/topic/x" -> topic x; any other text is taken
  // as a queue name as it stands.
  static Destination fromStompName(const std::string& stompName);

  Kind kind() const noexcept { return kind_; }
  bool isTopic() const noexcept { return kind_ == Kind::Topic; }
  const std::string& name() const noexcept { return name_; }
  std::string stompName() const { return (kind_ == Kind::Topic ? "/topic/" : "/queue/") + name_; }

  bool operator==(const Destination& o) const { return kind_ == o.kind_ && name_ == o.name_; }
  bool operator!=(const Destination& o) const { return !(*this == o); }

 private:
  Destination(Kind kind, std::string name) : kind_(kind), name_(std::move(name)) {}
  Kind kind_;
  std::string name_;
};

}  // namespace stomp
