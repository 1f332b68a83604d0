#include "stomp/ConnectAttempt.h"

#include "stomp/Error.h"

#include <cstdint>
#include <vector>

namespace stomp::detail {

ConnectAttempt::ConnectAttempt(asio::io_context& io, std::shared_ptr<Stream> stream, Endpoint endpoint,
                               std::chrono::milliseconds timeout)
    : stream_(std::move(stream)), endpoint_(std::move(endpoint)), timeout_(timeout), timer_(io) {}

void ConnectAttempt::fail(std::exception_ptr e) {
  if (auto report = std::move(report_)) {
    report_ = nullptr;
    report(std::move(e));
  }
}

void ConnectAttempt::run(Report report) {
  report_ = std::move(report);
  std::weak_ptr<ConnectAttempt> weak = weak_from_this();
  timer_.expires_after(timeout_);
  timer_.async_wait([weak](std::error_code ec) {
    auto self = weak.lock();
    if (ec || !self) return;
    self->fail(
        std::make_exception_ptr(ConnectError(self->endpoint_.uri + ": no STOMP session within " +
                                             std::to_string(self->timeout_.count()) + " ms (" + self->stage_ + ")")));
  });
  // An address needs no lookup: no resolver, so no resolver thread.
  std::error_code notAnAddress;
  const asio::ip::address address = asio::ip::make_address(endpoint_.host, notAnAddress);
  if (!notAnAddress) {
    // The port is 1 to 65535 in digits: the broker URI was checked so.
    const auto port = static_cast<std::uint16_t>(std::stoi(endpoint_.port));
    stage_ = "connecting";
    return connect(std::vector<asio::ip::tcp::endpoint>{{address, port}});
  }
  resolver_.emplace(timer_.get_executor());
  resolver_->async_resolve(endpoint_.host, endpoint_.port, [weak](std::error_code ec, auto results) {
    auto self = weak.lock();
    if (!self || !self->report_) return;
    if (ec)
      return self->fail(std::make_exception_ptr(
          ConnectError(self->endpoint_.uri + ": cannot resolve '" + self->endpoint_.host + "': " + ec.message())));
    self->stage_ = "connecting";
    self->connect(std::vector<asio::ip::tcp::endpoint>(results.begin(), results.end()));
  });
}

void ConnectAttempt::connect(std::vector<asio::ip::tcp::endpoint> endpoints) {
  std::weak_ptr<ConnectAttempt> weak = weak_from_this();
  asio::async_connect(stream_->socket(), endpoints, [weak](std::error_code ec, const auto&) {
    auto self = weak.lock();
    if (!self || !self->report_) return;
    if (ec) return self->fail(std::make_exception_ptr(ConnectError(self->endpoint_.uri + ": " + ec.message())));
    std::error_code ignored;
    self->stream_->socket().set_option(asio::ip::tcp::no_delay(true), ignored);
    self->stage_ = self->stream_->tls() ? "TLS handshake" : "waiting for CONNECTED";
    // A TLS handshake under way uses the stream's buffers: it holds the
    // stream until it completes, even if the attempt went meanwhile.
    self->stream_->handshake([weak, stream = self->stream_](std::error_code ec) {
      auto self = weak.lock();
      if (!self || !self->report_) return;
      if (ec)
        return self->fail(
            std::make_exception_ptr(ConnectError(self->endpoint_.uri + ": TLS handshake failed: " + ec.message())));
      self->stage_ = "waiting for CONNECTED; is this a STOMP port?";
      // Up: the owner writes CONNECT; the timer keeps running for it.
      Report report = self->report_;
      report(nullptr);
    });
  });
}

}  // namespace stomp::detail
