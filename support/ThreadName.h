#pragma once
// Names the calling thread as top -H, ps -L, perf and gdb show it (at most
// 15 characters; longer names are cut). Nothing happens where the platform
// has no thread names.
#include <pthread.h>

#include <string>

inline void nameThisThread(const char* name) {
#ifdef __linux__
  char cut[16] = {};
  std::string(name).copy(cut, sizeof cut - 1);
  pthread_setname_np(pthread_self(), cut);
#else
  (void)name;
#endif
}
