#pragma once
// One transport socket: plain TCP or TLS over TCP, used on the connection's
// I/O thread only.
#include "stomp/BrokerUri.h"

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>
#include <asio/ssl.hpp>

#include <functional>
#include <memory>
#include <optional>

namespace stomp::detail {

class Stream {
 public:
  using Handler = std::function<void(std::error_code, std::size_t)>;

  // For a TLS endpoint this loads the CA file; a bad one throws ConnectError.
  Stream(asio::io_context& io, const Endpoint& endpoint);

  asio::ip::tcp::socket& socket();
  bool tls() const { return secure_.has_value(); }

  void handshake(std::function<void(std::error_code)> done);
  void readSome(asio::mutable_buffer buffer, Handler done);
  void write(asio::const_buffer buffer, Handler done);
  void close();

 private:
  Endpoint endpoint_;
  std::optional<asio::ssl::context> context_;
  std::optional<asio::ip::tcp::socket> plain_;
  std::optional<asio::ssl::stream<asio::ip::tcp::socket>> secure_;
};

}  // namespace stomp::detail
