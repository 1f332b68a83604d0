#pragma once
// The operator's input: whitespace-delimited tokens and single key presses
// from one file descriptor, with a second descriptor (a signal's self-pipe)
// that wakes every wait. Never spins: waits block in poll.
#include <cstddef>
#include <string>

class ConsoleInput {
 public:
  enum class Result {
    Token,       // a token was read / a key was pressed
    EndOfInput,  // the input has ended (or failed)
    Woken        // the wake descriptor became readable (a stop signal)
  };

  static constexpr std::size_t kMaxToken = 255;

  // inputFd is read, never closed; wakeFd (may be -1) is only polled, never
  // read, so that it keeps waking every later wait.
  ConsoleInput(int inputFd, int wakeFd);

  // Skips white space (blanks, empty lines), then reads up to kMaxToken
  // bytes up to the next white space; the rest of a longer token is left for
  // the next call, and the white space after the token stays unread. A token
  // cut short by the end of input is returned; EndOfInput only when none.
  Result readToken(std::string& token);

  // Waits for one fresh key press, after a token was read: what is left of
  // the line that held the token (its Enter included) does not count. On a
  // terminal the key is read without echo and without Enter; otherwise the
  // key is the first byte after that line.
  Result waitFreshKey();
  // Waits for one key press with nothing read before (the pause after a
  // failed start): on a terminal as above, otherwise one byte.
  Result waitKey();

  bool isTerminal() const { return terminal_; }

 private:
  // Ensures a byte is buffered; Woken/EndOfInput when none can come.
  Result fill();
  Result readRawKey();
  bool woken() const;

  int inputFd_;
  int wakeFd_;
  bool terminal_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool ended_ = false;  // a terminal's end of input is not sticky; ours is
};

// Puts back the terminal settings a key wait has changed, if one is in
// progress; for a process that ends in the middle of that wait.
void restoreTerminalSettings();
