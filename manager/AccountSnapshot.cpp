#include "manager/AccountSnapshot.h"

#include "support/Console.h"

namespace {

std::string text(const wchar_t* wide) { return wide ? narrow(wide) : std::string(); }

}  // namespace

std::map<std::string, std::string> accountValues(const IMTUser& user) {
  return {
      {"name", text(user.Name())},
      {"group", text(user.Group())},
      {"email", text(user.EMail())},
      {"phone", text(user.Phone())},
      {"id", text(user.ID())},
      {"country", text(user.Country())},
      {"city", text(user.City())},
      {"zip", text(user.ZIPCode())},
      {"address", text(user.Address())},
      {"comment", text(user.Comment())},
      {"agent", std::to_string(user.Agent())},
      {"rights", std::to_string(user.Rights())},
      {"leverage", std::to_string(user.Leverage())},
  };
}
