#include "stomp/IoThread.h"
#include <pthread.h>

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <optional>

namespace stomp {

struct IoThread::State {
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{io.get_executor()};
};

IoThread::IoThread() : state_(std::make_shared<State>()) {
  // The thread holds the state too: detached, it must not outlive it.
  thread_ = std::thread([state = state_] {
    pthread_setname_np(pthread_self(), "stomp-io");
    state->io.run();
  });
  id_ = thread_.get_id();
}

IoThread::~IoThread() { stop(); }

asio::io_context& IoThread::context() { return state_->io; }

void IoThread::runAfter(std::chrono::steady_clock::duration delay, std::function<void()> fn) {
  // The timer is made on the thread: an io_context takes posts from any
  // thread, a timer object only from one at a time.
  asio::io_context& io = state_->io;  // runs the handler, so outlives it
  asio::post(io, [&io, delay, fn = std::move(fn)]() mutable {
    auto timer = std::make_shared<asio::steady_timer>(io, delay);
    timer->async_wait([timer, fn = std::move(fn)](const asio::error_code& error) {
      if (!error) fn();
    });
  });
}

void IoThread::stop() {
  if (!thread_.joinable()) return;
  state_->work.reset();
  state_->io.stop();
  if (onThread())
    thread_.detach();
  else
    thread_.join();
}

}  // namespace stomp
