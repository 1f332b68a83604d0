#include "messages/RequestKind.h"

#include "messages/PasswordUpdateRequest.h"
#include "messages/TradeTransInfoRequest.h"
#include "messages/UserRecordCreateRequest.h"
#include "messages/UserRecordUpdateRequest.h"

const char* kindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::Create:
      return "create";
    case RequestKind::Update:
      return "update";
    case RequestKind::Password:
      return "password";
    case RequestKind::Trade:
      return "trade";
  }
  return "?";
}

std::string replyWithCode(RequestKind kind, const Json::Value& request, int32_t code) {
  switch (kind) {
    case RequestKind::Create:
      return UserRecordCreateRequest(request).BuildReply(code);
    case RequestKind::Update:
      return UserRecordUpdateRequest(request).BuildReply(code);
    case RequestKind::Password:
      return PasswordUpdateRequest(request).BuildReply(code);
    case RequestKind::Trade:
      break;
  }
  return TradeTransInfoRequest(request).BuildReply(code);
}
