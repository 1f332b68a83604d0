#pragma once
// Where an operation puts its one reply: the callback queue's producer in the
// service, a recording stand-in in tests.
#include <string>

class ReplySender {
 public:
  virtual void send(std::string text) = 0;

 protected:
  ~ReplySender() = default;
};
