#include "stomp/HeartBeatMonitor.h"

#include <algorithm>

namespace stomp {

HeartBeatMonitor::HeartBeatMonitor(milliseconds sendInterval, milliseconds receiveInterval, SteadyTime now)
    : send_(sendInterval), receive_(receiveInterval), lastRead_(now), lastWrite_(now) {}

HeartBeatAction HeartBeatMonitor::tick(SteadyTime now, bool writing) {
  HeartBeatAction action;
  if (receive_.count() > 0 && now - lastRead_ >= lossAfter()) {
    action.peerLost = true;
    return action;
  }
  if (writing) lastWrite_ = now;  // bytes are on their way; a beat would only queue behind them
  if (send_.count() > 0 && now - lastWrite_ >= sendPeriod()) {
    action.sendBeat = true;
    lastWrite_ = now;
  }
  SteadyTime next = SteadyTime::max();
  if (send_.count() > 0) next = std::min(next, lastWrite_ + std::max(milliseconds(1), sendPeriod()));
  if (receive_.count() > 0) next = std::min(next, lastRead_ + lossAfter());
  action.nextTick = std::max(next, now + milliseconds(1));
  return action;
}

}  // namespace stomp
