#pragma once
// The operator's side of the service: the exit prompt and the key waits.
#include "host/ConsoleInput.h"

enum class StopReason {
  ExitToken,   // a token worth 1 was typed
  EndOfInput,  // the input ended: taken as if 1 was typed
  Signal       // SIGINT, SIGTERM or SIGHUP
};

// Prints "is exit(0 or 1): " before every token until one is worth 1, the
// input ends or a stop signal comes.
StopReason runExitPrompt(ConsoleInput& input);

// "Press any key to stop...", one fresh key press (or the end of input, or a
// stop signal), then "\n".
void waitForStopKey(ConsoleInput& input);

// "Press any key to continue . . .", one key press (or the end of input, or
// a stop signal), then "\n".
void pauseForKey(ConsoleInput& input);
