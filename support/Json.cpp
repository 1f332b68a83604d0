#include "support/Json.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

bool parseJson(const std::string& text, Json::Value& root, std::string* error) {
  Json::Reader reader;
  const bool ok = reader.parse(text, root, true);
  if (!ok && error != nullptr) *error = reader.getFormattedErrorMessages();
  return ok;
}

std::string writeJson(const Json::Value& value) {
  Json::FastWriter writer;
  return writer.write(value);
}

#pragma GCC diagnostic pop
