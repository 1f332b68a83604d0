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
