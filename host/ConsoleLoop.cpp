#include "host/ConsoleLoop.h"

#include <string>

#include "host/ExitToken.h"
#include "support/Console.h"

StopReason runExitPrompt(ConsoleInput& input) {
  std::string token;
  for (;;) {
    consolePrint("is exit(0 or 1): ");
    switch (input.readToken(token)) {
      case ConsoleInput::Result::Woken:
        consolePrint("\n");  // the prompt's line ends before the service stops
        return StopReason::Signal;
      case ConsoleInput::Result::EndOfInput:
        return StopReason::EndOfInput;
      case ConsoleInput::Result::Token:
        if (isExitToken(token)) return StopReason::ExitToken;
        break;
    }
  }
}

void waitForStopKey(ConsoleInput& input) {
  consolePrint("Press any key to stop...");
  input.waitFreshKey();
  consolePrint("\n");
}

void pauseForKey(ConsoleInput& input) {
  consolePrint("Press any key to continue . . .");
  input.waitKey();
  consolePrint("\n");
}
