#include "stomp/ConnectAttempt.h"

#include "stomp/Error.h"

namespace stomp::detail {

ConnectAttempt::ConnectAttempt(asio::io_context& io, std::shared_ptr<Stream> stream, Endpoint endpoint,
                               std::chrono::milliseconds timeout)
    : stream_(std::move(stream)), endpoint_(std::move(endpoint)), timeout_(timeout), resolver_(io), timer_(io) {}

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
  resolver_.async_resolve(endpoint_.host, endpoint_.port, [weak](std::error_code ec, auto results) {
    auto self = weak.lock();
    if (!self || !self->report_) return;
    if (ec)
      return self->fail(std::make_exception_ptr(
          ConnectError(self->endpoint_.uri + ": cannot resolve '" + self->endpoint_.host + "': " + ec.message())));
    self->stage_ = "connecting";
    asio::async_connect(self->stream_->socket(), results, [weak](std::error_code ec, const auto&) {
      auto self = weak.lock();
      if (!self || !self->report_) return;
      if (ec) return self->fail(std::make_exception_ptr(ConnectError(self->endpoint_.uri + ": " + ec.message())));
      std::error_code ignored;
      self->stream_->socket().set_option(asio::ip::tcp::no_delay(true), ignored);
      self->stage_ = self->stream_->tls() ? "TLS handshake" : "waiting for CONNECTED";
      self->stream_->handshake([weak](std::error_code ec) {
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
  });
}

}  // namespace stomp::detail
