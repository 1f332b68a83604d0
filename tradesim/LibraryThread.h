#pragma once
// The library's own thread, one per manager object. Every 10 ms, or at once
// when woken, it ends a session the server no longer serves, hands out the
// session notifications, then, while a session is open, the deal events.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tradesim {

class DealWatcher;
class Session;
class Store;

class LibraryThread {
 public:
  LibraryThread(std::string databasePath, Session& session, DealWatcher& deals);
  ~LibraryThread();
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;

  // Starts the thread unless it runs or was stopped.
  void start();
  // Asks for a round now instead of at the next interval.
  void wake();
  // Stops and joins the thread. On the thread itself (a sink releasing the
  // object) it cannot join: it returns false, the thread ends once the
  // notification returns and runs afterExit last, and it is joined when the
  // library is unloaded.
  bool stop(std::function<void()> afterExit = {});

 private:
  void run();
  void round(std::unique_ptr<Store>& store);
  bool stopping();

  const std::string databasePath_;
  Session& session_;
  DealWatcher& deals_;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  bool stopping_ = false;
  bool woken_ = false;
  std::function<void()> afterExit_;
  std::thread thread_;
};

}  // namespace tradesim
