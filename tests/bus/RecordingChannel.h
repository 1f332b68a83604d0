#pragma once
// A reply channel that keeps what it was given, for tests without a broker.
#include <string>
#include <utility>
#include <vector>

#include "bus/ReplyChannel.h"

class RecordingChannel : public ReplyChannel {
 public:
  struct Reply {
    std::string text;
    std::string correlationId;
  };
  void sendReply(std::string text, const std::string& correlationId) override {
    replies.push_back({std::move(text), correlationId});
  }
  const std::string& destination() const override { return name; }
  std::vector<Reply> replies;
  std::string name = "recorded.replies";
};
