#pragma once
// One connect attempt: resolve, TCP connect, TLS handshake, all within one
// time-out that keeps running while the owner waits for CONNECTED. The owner
// holds the only reference; dropping it cancels the resolver and the timer,
// and every handler still queued finds the attempt gone and does nothing.
#include "stomp/BrokerUri.h"
#include "stomp/Stream.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stomp::detail {

class ConnectAttempt : public std::enable_shared_from_this<ConnectAttempt> {
 public:
  // Called once: nullptr when the transport is up (then again with a
  // ConnectError if the time-out runs out before the owner is done).
  using Report = std::function<void(std::exception_ptr)>;

  ConnectAttempt(asio::io_context& io, std::shared_ptr<Stream> stream, Endpoint endpoint,
                 std::chrono::milliseconds timeout);

  void run(Report report);
  // For the time-out's text: what the attempt was doing.
  void setStage(std::string stage) { stage_ = std::move(stage); }

 private:
  void fail(std::exception_ptr e);
  void connect(std::vector<asio::ip::tcp::endpoint> endpoints);

  std::shared_ptr<Stream> stream_;
  Endpoint endpoint_;
  std::chrono::milliseconds timeout_;
  std::optional<asio::ip::tcp::resolver> resolver_;  // only for a host name
  asio::steady_timer timer_;
  std::string stage_ = "resolving the host";
  Report report_;
};

}  // namespace stomp::detail
