#pragma once
// When to reopen the trading-server session and what a reopen's answer
// means, told what happened; the keeper carries it out. No clock, no
// threads: delays are handed back, not slept.
#include <chrono>

#include "manager/ResultCodes.h"

class SessionPolicy {
 public:
  struct Settings {
    std::chrono::milliseconds firstDelay{500};
    std::chrono::milliseconds maxDelay{30000};
  };
  enum class Do {
    Nothing,
    Announce,  // it just went down: say so, then reopen after `delay`
    Reopen,    // the reopen failed for now: try again after `delay`
    Resume,    // it is open again
    Fail,      // it can never open (its credentials were refused)
  };
  struct Next {
    Do what = Do::Nothing;
    std::chrono::milliseconds delay{0};
  };

  explicit SessionPolicy(Settings settings) : settings_(settings) {}

  bool up() const { return state_ == State::Up; }
  bool failed() const { return state_ == State::Failed; }
  // Reopens tried since it went down.
  int attempts() const { return attempts_; }

  // A call or the library said the session is gone.
  Next lost();
  // What OpenSession answered to a reopen.
  Next reopenAnswered(MTAPIRES result);

 private:
  enum class State { Up, Down, Failed };
  Settings settings_;
  State state_ = State::Up;
  std::chrono::milliseconds delay_{0};
  int attempts_ = 0;
};
