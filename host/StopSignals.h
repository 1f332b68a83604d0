#pragma once
// SIGINT, SIGTERM and SIGHUP as a readable descriptor: the handler only
// writes a byte to a self-pipe, and the main thread polls the pipe's read
// end together with its input, then stops the service in order. SIGPIPE is
// ignored (a closed output must not kill the process mid-request).
class StopSignals {
 public:
  StopSignals();   // installs the handlers; throws std::system_error
  ~StopSignals();  // restores the default handlers
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable once a stop signal came; stays readable.
  int fd() const { return readFd_; }
  bool raised() const;
  // Blocks until a stop signal came (at once when one did).
  void wait() const;

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
};
