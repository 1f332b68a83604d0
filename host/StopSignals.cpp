#include "host/StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>

namespace {

volatile sig_atomic_t signalWriteFd = -1;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (signalWriteFd >= 0) (void)!::write(signalWriteFd, &byte, 1);  // a full pipe is signalled already
  errno = saved;
}

void setHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

StopSignals::StopSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "stop signal pipe");
  readFd_ = fds[0];
  writeFd_ = fds[1];
  signalWriteFd = writeFd_;
  for (int signal : kStopSignals) setHandler(signal, onStopSignal);
  setHandler(SIGPIPE, SIG_IGN);
}

StopSignals::~StopSignals() {
  for (int signal : kStopSignals) setHandler(signal, SIG_DFL);
  signalWriteFd = -1;
  ::close(readFd_);
  ::close(writeFd_);
}

bool StopSignals::raised() const {
  pollfd fd{readFd_, POLLIN, 0};
  return ::poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN) != 0;
}

void StopSignals::wait() const {
  pollfd fd{readFd_, POLLIN, 0};
  while (::poll(&fd, 1, -1) != 1 || (fd.revents & POLLIN) == 0) {
  }
}
