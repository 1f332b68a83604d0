#pragma once
// The ReplySender an operation gets for one request: it forwards the reply to
// the callback queue's channel with that request's correlation id, so that
// the back office can match reply and request.
#include <string>
#include <utility>

#include "bus/ReplyChannel.h"
#include "manager/ReplySender.h"

class CorrelatedReply final : public ReplySender {
 public:
  CorrelatedReply(ReplyChannel& channel, std::string correlationId)
      : channel_(channel), correlationId_(std::move(correlationId)) {}

  void send(std::string text) override { channel_.sendReply(std::move(text), correlationId_); }

 private:
  ReplyChannel& channel_;
  std::string correlationId_;
};
