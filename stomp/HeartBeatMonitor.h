#pragma once
// Heart-beats of one session, both ways. Told when bytes were read and
// written, asked at tick(now) what to do: send an end-of-line, give the peer
// up, and when to ask again. Owns no timer and reads no clock. Protocol
// core: no I/O.
//
// The peer counts as lost after three negotiated intervals of silence, not
// two: brokers check their write side once per interval, so a healthy one
// may leave a gap of two intervals and a little more between heart-beats.
#include "stomp/Time.h"

namespace stomp {

struct HeartBeatAction {
  bool sendBeat = false;  // write an end-of-line now
  bool peerLost = false;  // nothing came for lossAfter()
  SteadyTime nextTick{};  // ask again then (unless peerLost)
};

class HeartBeatMonitor {
 public:
  // 0 disables a direction; with both 0, tick() never asks to be called.
  HeartBeatMonitor(milliseconds sendInterval, milliseconds receiveInterval, SteadyTime now);

  void onRead(SteadyTime now) { lastRead_ = now; }
  void onWrite(SteadyTime now) { lastWrite_ = now; }

  // `writing`: a write is under way, which will count as traffic.
  HeartBeatAction tick(SteadyTime now, bool writing = false);

  bool active() const { return send_.count() > 0 || receive_.count() > 0; }
  milliseconds lossAfter() const { return 3 * receive_; }

 private:
  // An end-of-line goes out after half the interval without writing, so
  // that one late timer does not make the peer miss a beat.
  milliseconds sendPeriod() const { return send_ / 2; }

  milliseconds send_;
  milliseconds receive_;
  SteadyTime lastRead_;
  SteadyTime lastWrite_;
};

}  // namespace stomp
