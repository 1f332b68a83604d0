#pragma once
// The four kinds of request, one per request queue, and the failure reply
// the service itself gives when it does not carry a request out.
#include <cstdint>
#include <string>

#include <json/json.h>

enum class RequestKind { Create, Update, Password, Trade };

// "create", "update", "password", "trade".
const char* kindName(RequestKind kind);

// The reply the kind's record builds with code (and the default message).
// A member of the wrong type raises Json::LogicError.
std::string replyWithCode(RequestKind kind, const Json::Value& request, int32_t code);
