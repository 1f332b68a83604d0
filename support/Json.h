#pragma once
// The one place that touches JsonCpp's deprecated reader and writer, so the
// rest of the tree builds without deprecation warnings.
#include <string>

#include <json/json.h>

// Parses text into root with the reader's default features (comments
// allowed, any value accepted as the root) and comment collection on.
// Returns false for text that is not JSON; error, when given, then receives
// the parser's formatted messages. JsonCpp may also throw its own exceptions
// (Json::Exception, e.g. "Exceeded stackLimit in readValue()." for a document
// nested too deep); those are left to the caller.
bool parseJson(const std::string& text, Json::Value& root, std::string* error = nullptr);

// Writes value as one line of compact JSON followed by "\n" (default
// FastWriter: keys in byte order, non-ASCII as \u escapes).
std::string writeJson(const Json::Value& value);
