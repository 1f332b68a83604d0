// Tokens and key presses from a pipe and from a pseudo-terminal, with the
// stop-signal descriptor waking every wait.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "host/ConsoleInput.h"

namespace {

using Result = ConsoleInput::Result;

// Both ends of a pipe, closed by the destructor.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    closeWrite();
    ::close(fds[0]);
  }
  void write(const std::string& text) { ASSERT_EQ(::write(fds[1], text.data(), text.size()), ssize_t(text.size())); }
  void closeWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  int readFd() const { return fds[0]; }
  int fds[2] = {-1, -1};
};

std::string next(ConsoleInput& input) {
  std::string token;
  const Result r = input.readToken(token);
  return r == Result::Token ? token : r == Result::EndOfInput ? "<end>" : "<woken>";
}

}  // namespace

TEST(ConsoleInput, TokensSkipBlanksAndEmptyLinesAndComeInPiecesOf255) {
  Pipe in;
  const std::string longToken = std::string(255, 'a') + "bc";
  in.write("  \n\n\t first second\r\n" + longToken + " \f last");
  in.closeWrite();
  ConsoleInput input(in.readFd(), -1);
  EXPECT_FALSE(input.isTerminal());
  EXPECT_EQ(next(input), "first");
  EXPECT_EQ(next(input), "second");
  EXPECT_EQ(next(input), std::string(255, 'a'));
  EXPECT_EQ(next(input), "bc");
  EXPECT_EQ(next(input), "last");  // ended by the end of input
  EXPECT_EQ(next(input), "<end>");
  EXPECT_EQ(next(input), "<end>");  // and stays ended
}

TEST(ConsoleInput, TokensArrivingInSeveralWritesAreJoined) {
  Pipe in;
  ConsoleInput input(in.readFd(), -1);
  std::thread writer([&] {
    in.write("12");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    in.write("34 ");
  });
  EXPECT_EQ(next(input), "1234");
  writer.join();
}

TEST(ConsoleInput, AFreshKeyFromAPipeIsTheFirstByteAfterTheTokensLine) {
  {
    Pipe in;
    in.write("1 0 junk\nxy");
    in.closeWrite();
    ConsoleInput input(in.readFd(), -1);
    EXPECT_EQ(next(input), "1");
    EXPECT_EQ(input.waitFreshKey(), Result::Token);  // the 'x'
    EXPECT_EQ(next(input), "y");
  }
  {
    Pipe in;
    in.write("1\n");
    in.closeWrite();
    ConsoleInput input(in.readFd(), -1);
    EXPECT_EQ(next(input), "1");
    // Only the Enter that ended the token is left: no key, the input ends.
    EXPECT_EQ(input.waitFreshKey(), Result::EndOfInput);
  }
  {
    Pipe in;
    in.write("z");
    in.closeWrite();
    ConsoleInput input(in.readFd(), -1);
    EXPECT_EQ(input.waitKey(), Result::Token);  // no token before: any byte
    EXPECT_EQ(input.waitKey(), Result::EndOfInput);
  }
}

TEST(ConsoleInput, TheWakeDescriptorEndsEveryWait) {
  Pipe in;  // stays open and silent: without the wake-up every wait blocks
  Pipe wake;
  ConsoleInput input(in.readFd(), wake.readFd());
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wake.write("!");
  });
  EXPECT_EQ(next(input), "<woken>");
  waker.join();
  EXPECT_EQ(input.waitFreshKey(), Result::Woken);
  EXPECT_EQ(input.waitKey(), Result::Woken);
  in.write("1\n");
  EXPECT_EQ(next(input), "<woken>");  // a stop signal outranks typed input
}

TEST(ConsoleInput, OnATerminalTheKeyIsReadWithoutEchoOrEnterAndSettingsComeBack) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before{};
  ASSERT_EQ(::tcgetattr(slave, &before), 0);
  ASSERT_NE(before.c_lflag & ICANON, 0u);

  ConsoleInput input(slave, -1);
  EXPECT_TRUE(input.isTerminal());
  ASSERT_EQ(::write(master, "1 0\n", 4), 4);
  EXPECT_EQ(next(input), "1");

  std::thread typist([&] {
    // Wait until the key wait has switched the terminal to single keys.
    for (int i = 0; i < 500; ++i) {
      termios now{};
      ::tcgetattr(slave, &now);
      if ((now.c_lflag & (ICANON | ECHO)) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(::write(master, "k", 1), 1);  // no Enter
  });
  // The rest of the line (" 0" and its Enter) is no key press.
  EXPECT_EQ(input.waitFreshKey(), Result::Token);
  typist.join();

  termios after{};
  ASSERT_EQ(::tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);

  // Nothing was echoed back: the master only holds the echo of "1 0".
  std::string echoed;
  char buffer[64];
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) echoed.append(buffer, size_t(n));
  EXPECT_EQ(echoed.find('k'), std::string::npos) << echoed;

  ::close(slave);
  ::close(master);
}

TEST(ConsoleInput, ATerminalThatGoesAwayEndsTheInput) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  ConsoleInput input(slave, -1);
  ::close(master);
  EXPECT_EQ(next(input), "<end>");
  EXPECT_EQ(input.waitFreshKey(), Result::EndOfInput);
  ::close(slave);
}
