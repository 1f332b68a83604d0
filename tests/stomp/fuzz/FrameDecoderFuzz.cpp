// libFuzzer target for the protocol core: the frame decoder fed in chunks,
// re-encoding of what it decodes, session handling of the frames, and URI
// parsing. Built and run by scripts/fuzz-stomp.sh.
#include "stomp/BrokerUri.h"
#include "stomp/Error.h"
#include "stomp/Frame.h"
#include "stomp/FrameDecoder.h"
#include "stomp/Session.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

stomp::Headers withoutContentLength(const stomp::Headers& h) {
  stomp::Headers out;
  for (const auto& x : h)
    if (x.first != "content-length") out.push_back(x);
  return out;
}

void checkRoundTrip(const stomp::Frame& f, stomp::Version v) {
  std::string bytes;
  try {
    bytes = stomp::encodeFrame(f, {v, false});
  } catch (const stomp::ProtocolError&) {
    return;  // a header this version cannot carry: refused, not garbled
  }
  stomp::FrameDecoder again;
  again.setVersion(v);
  again.feed(bytes);
  if (!again.hasFrame()) broken("re-encoded frame does not decode");
  stomp::Frame g = again.next();
  if (again.hasFrame()) broken("re-encoded frame decodes to more than one");
  if (g.command != f.command || g.body != f.body) broken("command or body changed in a round trip");
  if (withoutContentLength(g.headers) != withoutContentLength(f.headers)) broken("headers changed in a round trip");
}

void fuzzDecoder(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const auto v = static_cast<stomp::Version>(data[0] % 3);
  const std::size_t chunk = 1 + data[1] % 64;
  data += 2;
  size -= 2;

  stomp::DecoderLimits limits;
  limits.maxFrameSize = 4096;
  limits.maxHeaders = 16;
  limits.maxHeaderLength = 256;
  stomp::FrameDecoder d(limits);
  d.setVersion(v);

  stomp::SessionConfig config;
  config.heartBeatSend = config.heartBeatReceive = std::chrono::milliseconds(1000);
  stomp::Session session(config);
  session.addSubscription(stomp::Destination::queue("q"), stomp::AckMode::ClientIndividual, {});

  for (std::size_t pos = 0; pos < size; pos += chunk) {
    std::size_t n = std::min(chunk, size - pos);
    try {
      d.feed(reinterpret_cast<const char*>(data) + pos, n);
    } catch (const stomp::ProtocolError&) {
      if (d.buffered() != 0) broken("failed decoder keeps input");
      return;
    }
    if (d.buffered() > limits.maxFrameSize + limits.maxHeaderLength + chunk + 8)
      broken("decoder holds more than a frame");
    while (d.hasFrame()) {
      stomp::Frame f = d.next();
      if (f.body.size() > limits.maxFrameSize || f.headers.size() > limits.maxHeaders) broken("frame over the limits");
      checkRoundTrip(f, v);
      try {
        if (!session.connected())
          session.onConnected(f);
        else
          session.onFrame(f);
        session.ackFrame(f.headers, "sub-1");
      } catch (const stomp::Error&) {
      }
    }
  }
}

void fuzzUri(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    stomp::BrokerUri uri = stomp::parseBrokerUri(text);
    if (uri.endpoints.empty()) broken("URI without endpoints accepted");
    for (const auto& e : uri.endpoints)
      if (e.host.empty() || e.port.empty()) broken("endpoint without host or port accepted");
    stomp::reconnectDelay(uri.options, 1 + static_cast<int>(size % 100));
  } catch (const stomp::UriError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] == 'U')
    fuzzUri(data + 1, size - 1);
  else
    fuzzDecoder(data, size);
  return 0;
}
