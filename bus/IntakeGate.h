#pragma once
// Whether this instance should hold its subscriptions to the request queues.
// An instance that cannot record what it does holds back what the broker
// hands it: unacknowledged, those requests wait on it while another
// instance, whose journal writes, could answer them. So once the journal
// has been unusable for a while the subscriptions are given up (the broker
// hands their requests to the other readers) and taken again once it has
// been usable for a while; the two delays keep a short fault from
// unsubscribing and a flapping one from taking requests back and forth.
// Told what it sees with the time; no clock, no thread.
#include <cstdint>

class IntakeGate {
 public:
  enum class Action { None, Release, Take };
  struct Settings {
    int64_t releaseAfterMs = 2000;
    int64_t takeAfterMs = 2000;
  };

  IntakeGate() = default;
  explicit IntakeGate(Settings settings) : settings_(settings) {}

  // What the journal is like at nowMs (usable: it writes and its lease is
  // fresh). Release and Take are answered once per change.
  Action observe(int64_t nowMs, bool usable);
  // A Take could not be carried out (the broker away, or another instance
  // serves the queues now): the next observation answers Take again.
  void takeFailed() { released_ = true; }
  bool released() const { return released_; }

 private:
  Settings settings_;
  bool released_ = false;
  bool lastUsable_ = true;
  int64_t since_ = 0;  // when usable last changed
  bool seen_ = false;
};
