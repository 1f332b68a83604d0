#include "bus/IntakeGate.h"

IntakeGate::Action IntakeGate::observe(int64_t nowMs, bool usable) {
  if (!seen_ || usable != lastUsable_) {
    seen_ = true;
    lastUsable_ = usable;
    since_ = nowMs;
  }
  const int64_t lasted = nowMs - since_;
  if (!released_ && !usable && lasted >= settings_.releaseAfterMs) {
    released_ = true;
    return Action::Release;
  }
  if (released_ && usable && lasted >= settings_.takeAfterMs) {
    released_ = false;
    return Action::Take;
  }
  return Action::None;
}
