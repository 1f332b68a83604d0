#include "host/ConsoleInput.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The terminal settings in force before a key wait changed them, so that
// an end of the process in the middle of the wait can put them back.
std::atomic<bool> terminalChanged{false};
int changedFd = -1;
termios savedSettings{};

// Non-canonical, no echo, for as long as the object lives.
class RawKeyMode {
 public:
  explicit RawKeyMode(int fd) : fd_(fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return;
    savedSettings = settings;
    changedFd = fd;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    terminalChanged.store(true);
    active_ = ::tcsetattr(fd, TCSANOW, &settings) == 0;
    if (!active_) terminalChanged.store(false);
  }
  ~RawKeyMode() {
    if (!active_) return;
    terminalChanged.store(false);
    ::tcsetattr(fd_, TCSANOW, &savedSettings);
  }
  RawKeyMode(const RawKeyMode&) = delete;
  RawKeyMode& operator=(const RawKeyMode&) = delete;

 private:
  int fd_;
  bool active_ = false;
};

}  // namespace

void restoreTerminalSettings() {
  if (terminalChanged.exchange(false)) ::tcsetattr(changedFd, TCSANOW, &savedSettings);
}

ConsoleInput::ConsoleInput(int inputFd, int wakeFd)
    : inputFd_(inputFd), wakeFd_(wakeFd), terminal_(::isatty(inputFd) == 1) {}

bool ConsoleInput::woken() const {
  if (wakeFd_ < 0) return false;
  pollfd wake{wakeFd_, POLLIN, 0};
  return ::poll(&wake, 1, 0) == 1 && (wake.revents & POLLIN) != 0;
}

ConsoleInput::Result ConsoleInput::fill() {
  if (pos_ < buffer_.size()) return Result::Token;
  if (ended_) return Result::EndOfInput;
  for (;;) {
    pollfd fds[2] = {{inputFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int n = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      ended_ = true;
      return Result::EndOfInput;
    }
    if (wakeFd_ >= 0 && (fds[1].revents & POLLIN) != 0) return Result::Woken;
    if ((fds[0].revents & POLLNVAL) != 0) {
      ended_ = true;
      return Result::EndOfInput;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(inputFd_, chunk, sizeof chunk);
    if (got > 0) {
      buffer_.assign(chunk, static_cast<std::size_t>(got));
      pos_ = 0;
      return Result::Token;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    ended_ = true;
    return Result::EndOfInput;  // end of file, or a terminal that went away (EIO)
  }
}

ConsoleInput::Result ConsoleInput::readToken(std::string& token) {
  token.clear();
  if (woken()) return Result::Woken;
  for (;;) {
    const Result r = fill();
    if (r != Result::Token) return r;
    if (!isBlank(buffer_[pos_])) break;
    ++pos_;
  }
  while (token.size() < kMaxToken) {
    const Result r = fill();
    if (r == Result::Woken) return r;
    if (r == Result::EndOfInput) break;  // the token ends with the input
    if (isBlank(buffer_[pos_])) break;
    token += buffer_[pos_++];
  }
  return Result::Token;
}

ConsoleInput::Result ConsoleInput::waitFreshKey() {
  if (woken()) return Result::Woken;
  if (terminal_) return readRawKey();
  for (;;) {  // the rest of the token's line, its line end included
    const Result r = fill();
    if (r != Result::Token) return r;
    if (buffer_[pos_++] == '\n') break;
  }
  const Result r = fill();
  if (r == Result::Token) ++pos_;
  return r;
}

ConsoleInput::Result ConsoleInput::waitKey() {
  if (woken()) return Result::Woken;
  if (terminal_) return readRawKey();
  const Result r = fill();
  if (r == Result::Token) ++pos_;
  return r;
}

ConsoleInput::Result ConsoleInput::readRawKey() {
  // A canonical read hands over whole lines: what is buffered was typed
  // before the wait and is no fresh key.
  buffer_.clear();
  pos_ = 0;
  RawKeyMode raw(inputFd_);
  const Result r = fill();
  // One key may arrive as several bytes (an arrow key): all of it is the
  // one key, none is left for the shell after the process.
  buffer_.clear();
  pos_ = 0;
  return r;
}
