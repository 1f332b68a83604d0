// Decoder and encoder throughput on MESSAGE frames shaped like the broker's
// (its usual headers, a JSON text body), fed in socket-sized chunks.
#include "stomp/Frame.h"
#include "stomp/FrameDecoder.h"
#include "stomp/Session.h"

#include <benchmark/benchmark.h>

namespace {

std::string jsonBody(std::size_t size) {
  std::string body = "{\"login\":100001,\"amount\":250.75,\"comment\":\"";
  while (body.size() + 2 < size) body += 'x';
  return body + "\"}";
}

stomp::Frame brokerMessage(std::size_t bodySize, int i) {
  return stomp::Frame{"MESSAGE",
                      {{"content-type", "text/plain"},
                       {"message-id", "ID:host-40123-1700000000000-1:1:1:1:" + std::to_string(i)},
                       {"destination", "/queue/tradeTransInfo"},
                       {"subscription", "sub-1"},
                       {"ack", "ID\\cack-" + std::to_string(i)},
                       {"persistent", "true"},
                       {"priority", "4"},
                       {"timestamp", "1700000000123"},
                       {"expires", "0"},
                       {"correlation-id", "c-" + std::to_string(i)}},
                      jsonBody(bodySize)};
}

// A stream of frames, each optionally with content-length.
std::string stream(std::size_t bodySize, bool contentLength, std::size_t frames) {
  std::string out;
  for (std::size_t i = 0; i < frames; ++i)
    stomp::encodeFrameTo(out, brokerMessage(bodySize, static_cast<int>(i)), {stomp::Version::V1_2, contentLength});
  return out;
}

void decode(benchmark::State& state, bool contentLength) {
  const auto bodySize = static_cast<std::size_t>(state.range(0));
  const std::size_t frames = std::max<std::size_t>(16, (1 << 20) / (bodySize + 300));
  const std::string bytes = stream(bodySize, contentLength, frames);
  const std::size_t chunk = 16 * 1024;
  std::size_t decoded = 0;
  for (auto _ : state) {
    stomp::FrameDecoder d;
    d.setVersion(stomp::Version::V1_2);
    for (std::size_t pos = 0; pos < bytes.size(); pos += chunk) {
      d.feed(bytes.data() + pos, std::min(chunk, bytes.size() - pos));
      while (d.hasFrame()) {
        benchmark::DoNotOptimize(d.next());
        ++decoded;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
}

void BM_DecodeTextFrames(benchmark::State& state) { decode(state, false); }
void BM_DecodeContentLengthFrames(benchmark::State& state) { decode(state, true); }
BENCHMARK(BM_DecodeTextFrames)->Arg(64)->Arg(512)->Arg(4096)->Arg(65536);
BENCHMARK(BM_DecodeContentLengthFrames)->Arg(64)->Arg(512)->Arg(4096)->Arg(65536);

// The worst delivery pattern: one byte per read.
void BM_DecodeByteAtATime(benchmark::State& state) {
  const std::string bytes = stream(512, false, 64);
  for (auto _ : state) {
    stomp::FrameDecoder d;
    d.setVersion(stomp::Version::V1_2);
    for (char c : bytes) {
      d.feed(&c, 1);
      while (d.hasFrame()) benchmark::DoNotOptimize(d.next());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeByteAtATime);

void BM_EncodeSend(benchmark::State& state) {
  stomp::Session session;
  stomp::OutgoingMessage message(jsonBody(static_cast<std::size_t>(state.range(0))), "corr-123");
  const auto to = stomp::Destination::queue("tradeTransInfoCallback");
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string wire = stomp::encodeFrame(session.sendFrame(to, message, "rcpt-1"), session.encodeOptions(&message));
    bytes += wire.size();
    benchmark::DoNotOptimize(wire);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSend)->Arg(256)->Arg(4096);

}  // namespace
