#include "manager/SessionPolicy.h"

#include <algorithm>

SessionPolicy::Next SessionPolicy::lost() {
  if (state_ != State::Up) return {};
  state_ = State::Down;
  attempts_ = 0;
  delay_ = std::min(settings_.firstDelay, settings_.maxDelay);
  return {Do::Announce, delay_};
}

SessionPolicy::Next SessionPolicy::reopenAnswered(MTAPIRES result) {
  if (state_ != State::Down) return {};
  ++attempts_;
  if (result == mtret::Ok) {
    state_ = State::Up;
    return {Do::Resume, {}};
  }
  // A refused login stays refused however often it is tried; anything else
  // (the server away, the network down) may pass.
  if (result == mtret::ManagerUnknown || result == mtret::AuthFailed) {
    state_ = State::Failed;
    return {Do::Fail, {}};
  }
  delay_ = std::min(delay_ * 2, settings_.maxDelay);
  return {Do::Reopen, delay_};
}
