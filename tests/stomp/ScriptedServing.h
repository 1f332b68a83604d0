#pragma once
// Options and a serving loop shared by the transport tests.
#include "FakePeer.h"
#include "stomp/Client.h"

#include <dirent.h>

#include <chrono>

namespace stomp::test {

inline stomp::ConnectionOptions fast() {
  stomp::ConnectionOptions o;
  o.connectTimeout = std::chrono::seconds(2);
  o.receiptTimeout = std::chrono::seconds(2);
  o.closeTimeout = std::chrono::seconds(1);
  o.heartBeatSend = o.heartBeatReceive = std::chrono::milliseconds(0);
  return o;
}

// Serves CONNECT and answers every request carrying a receipt.
inline void serve(PeerConnection& c, std::chrono::milliseconds duration = std::chrono::seconds(3)) {
  if (!c.expect("CONNECT")) return;
  c.connected();
  auto deadline = std::chrono::steady_clock::now() + duration;
  while (auto f = c.readFrame(
             std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())))
    c.receipt(*f);
}

// Threads of this process now, to see which a test started and ended.
inline std::size_t threadsOfThisProcess() {
  std::size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

}  // namespace stomp::test
