#pragma once
// One I/O thread running one io_context, for any number of connections:
// connections given the same IoThread (ConnectionOptions::ioThread) share
// its socket reactor, timers and thread.
//
//   auto io = std::make_shared<stomp::IoThread>();
//   stomp::ConnectionOptions o;
//   o.ioThread = io;  // for every connection that is to share it
//
// Every connection holds a reference, so the thread outlives them all.
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace asio {
class io_context;
}

namespace stomp {

class IoThread {
 public:
  IoThread();   // the thread runs from here on
  ~IoThread();  // stop()
  IoThread(const IoThread&) = delete;
  IoThread& operator=(const IoThread&) = delete;

  asio::io_context& context();
  // True on the thread itself, i.e. inside one of its handlers.
  bool onThread() const { return std::this_thread::get_id() == id_; }
  std::thread::id id() const { return id_; }

  // Runs fn on the thread once delay has passed (dropped if the thread
  // stops first). From any thread.
  void runAfter(std::chrono::steady_clock::duration delay, std::function<void()> fn);

  // Stops the io_context and joins the thread; handlers not run by then are
  // dropped. Idempotent. On the thread itself it cannot join: the thread is
  // detached and ends when the running handler returns.
  void stop();

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
  std::thread thread_;
  std::thread::id id_;
};

}  // namespace stomp
