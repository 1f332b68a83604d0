// The exit prompt and the key waits as the operator sees them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "host/ConsoleLoop.h"

namespace {

struct Session {
  std::string output;
  StopReason reason;
};

// Runs the prompt and, unless stopped by a signal, the stop key wait on the
// given input (then closed); returns what was printed.
Session runWith(const std::string& typed, bool signalled = false) {
  int in[2], wake[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(wake), 0);
  EXPECT_EQ(::write(in[1], typed.data(), typed.size()), ssize_t(typed.size()));
  ::close(in[1]);
  if (signalled) {
    EXPECT_EQ(::write(wake[1], "s", 1), 1);
  }
  ConsoleInput input(in[0], wake[0]);
  testing::internal::CaptureStdout();
  const StopReason reason = runExitPrompt(input);
  if (reason != StopReason::Signal) waitForStopKey(input);
  Session s{testing::internal::GetCapturedStdout(), reason};
  ::close(in[0]);
  ::close(wake[0]);
  ::close(wake[1]);
  return s;
}

const std::string kPrompt = "is exit(0 or 1): ";
const std::string kStop = "Press any key to stop...\n";

std::string prompts(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += kPrompt;
  return s;
}

}  // namespace

TEST(ConsoleLoop, EveryTokenAnswersOnePromptUntilOneWorthOne) {
  for (const char* stop : {"1\nk", "01\nk", "+1\nk", "1x\nk"}) {
    const Session s = runWith(stop);
    EXPECT_EQ(s.output, prompts(1) + kStop) << stop;
    EXPECT_EQ(s.reason, StopReason::ExitToken);
  }
  // 0, 2, 10, -1 and a word: the prompt again each time.
  const Session s = runWith("0\n2\n10\n-1\nyes\n\n\n1\nk");
  EXPECT_EQ(s.output, prompts(6) + kStop);
  // Several tokens on one line each take a prompt.
  EXPECT_EQ(runWith("0 1\nk").output, prompts(2) + kStop);
  // 255 zeros and a 1: two pieces, two prompts.
  EXPECT_EQ(runWith(std::string(255, '0') + "1\nk").output, prompts(2) + kStop);
}

TEST(ConsoleLoop, EndOfInputStopsAsIfOneWasTypedAndTheKeyWaitReturns) {
  const Session s = runWith("0\n2");
  EXPECT_EQ(s.reason, StopReason::EndOfInput);
  EXPECT_EQ(s.output, prompts(3) + kStop);
  EXPECT_EQ(runWith("").output, prompts(1) + kStop);
}

TEST(ConsoleLoop, AStopSignalEndsThePromptWithoutTheKeyWait) {
  const Session s = runWith("", true);
  EXPECT_EQ(s.reason, StopReason::Signal);
  EXPECT_EQ(s.output, prompts(1) + "\n");
}

TEST(ConsoleLoop, PauseWaitsForOneKey) {
  int in[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::write(in[1], "\n", 1), 1);  // Enter counts: nothing was read before
  ConsoleInput input(in[0], -1);
  testing::internal::CaptureStdout();
  pauseForKey(input);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Press any key to continue . . .\n");
  ::close(in[1]);
  ::close(in[0]);
}
