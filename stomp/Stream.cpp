#include "stomp/Stream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "stomp/Error.h"

namespace stomp::detail {

namespace {

bool isIpLiteral(const std::string& host) {
  std::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

}  // namespace

Stream::Stream(asio::io_context& io, const Endpoint& endpoint) : endpoint_(endpoint) {
  if (!endpoint.tls) {
    plain_.emplace(io);
    return;
  }
  context_.emplace(asio::ssl::context::tls_client);
  auto& ctx = *context_;
  ctx.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                  asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
  std::error_code ec;
  if (endpoint.verifyPeer) {
    ctx.set_verify_mode(asio::ssl::verify_peer);
    if (!endpoint.caFile.empty())
      ctx.load_verify_file(endpoint.caFile, ec);
    else
      ctx.set_default_verify_paths(ec);
    if (ec)
      throw ConnectError("cannot load CA file '" + endpoint.caFile + "' for '" + endpoint.uri + "': " + ec.message());
    if (endpoint.verifyHostName) ctx.set_verify_callback(asio::ssl::host_name_verification(endpoint.host));
  } else {
    ctx.set_verify_mode(asio::ssl::verify_none);
  }
  secure_.emplace(io, ctx);
  if (!isIpLiteral(endpoint.host)) SSL_set_tlsext_host_name(secure_->native_handle(), endpoint.host.c_str());
}

asio::ip::tcp::socket& Stream::socket() { return secure_ ? secure_->next_layer() : *plain_; }

void Stream::handshake(std::function<void(std::error_code)> done) {
  if (!secure_) {
    done({});
    return;
  }
  secure_->async_handshake(asio::ssl::stream_base::client, [done = std::move(done)](std::error_code ec) { done(ec); });
}

void Stream::readSome(asio::mutable_buffer buffer, Handler done) {
#ifdef TCP_QUICKACK
  // A broker that writes with Nagle's algorithm holds a frame back until
  // its previous segment is acknowledged; the kernel's delayed ACK (up to
  // 40 ms) would then stall, say, a MESSAGE behind a RECEIPT. Quick-ack
  // mode does not last, so it is asked for before every read.
  int on = 1;
  ::setsockopt(socket().native_handle(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
  if (secure_)
    secure_->async_read_some(buffer, std::move(done));
  else
    plain_->async_read_some(buffer, std::move(done));
}

void Stream::write(asio::const_buffer buffer, Handler done) {
  if (secure_)
    asio::async_write(*secure_, buffer, std::move(done));
  else
    asio::async_write(*plain_, buffer, std::move(done));
}

void Stream::close() {
  std::error_code ignored;
  socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket().close(ignored);
}

}  // namespace stomp::detail
