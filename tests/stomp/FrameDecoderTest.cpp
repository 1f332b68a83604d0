#include "stomp/Error.h"
#include "stomp/FrameDecoder.h"

#include <gtest/gtest.h>

#include <vector>

using stomp::Frame;
using stomp::FrameDecoder;
using stomp::ProtocolError;
using stomp::Version;

namespace {

template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// A stream mixing every shape the decoder must handle.
const std::string stream = bytes(
    "\n"  // heart-beat first
    "MESSAGE\r\nsubscription:s-1\r\nmessage-id:m\\c1\r\n\r\ncrlf body\0"
    "\r\n\n"  // two heart-beats
    "MESSAGE\ncontent-length:5\nk:first\nk:second\n\na\0b\0c\0"
    "RECEIPT\nreceipt-id:r-7\n\n\0"
    "ERROR\nmessage:bad\n\nline one\nline two\0\n");

void checkStream(const std::vector<Frame>& frames, std::size_t heartBeats) {
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].command, "MESSAGE");
  EXPECT_EQ(frames[0].header("subscription").value_or(""), "s-1");
  EXPECT_EQ(frames[0].header("message-id").value_or(""), "m:1");
  EXPECT_EQ(frames[0].body, "crlf body");
  EXPECT_EQ(frames[1].body, bytes("a\0b\0c"));
  EXPECT_EQ(frames[1].header("k").value_or(""), "first") << "the first of repeated headers wins";
  EXPECT_EQ(frames[1].headers.size(), 3u) << "repeats are kept in order";
  EXPECT_EQ(frames[2].command, "RECEIPT");
  EXPECT_EQ(frames[2].body, "");
  EXPECT_EQ(frames[3].body, "line one\nline two");
  EXPECT_EQ(heartBeats, 4u);
}

std::vector<Frame> drain(FrameDecoder& d) {
  std::vector<Frame> out;
  while (d.hasFrame()) out.push_back(d.next());
  return out;
}

}  // namespace

TEST(FrameDecoder, DecodesAStreamWhole) {
  FrameDecoder d;
  d.setVersion(Version::V1_2);
  d.feed(stream);
  checkStream(drain(d), d.heartBeats());
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(FrameDecoder, DecodesTheStreamSplitAtEveryByteBoundary) {
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameDecoder d;
    d.setVersion(Version::V1_2);
    std::vector<Frame> frames;
    d.feed(stream.data(), cut);
    for (auto& f : drain(d)) frames.push_back(std::move(f));
    d.feed(stream.data() + cut, stream.size() - cut);
    for (auto& f : drain(d)) frames.push_back(std::move(f));
    SCOPED_TRACE("cut at " + std::to_string(cut));
    checkStream(frames, d.heartBeats());
  }
  // And one byte at a time.
  FrameDecoder d;
  d.setVersion(Version::V1_2);
  std::vector<Frame> frames;
  for (char c : stream) {
    d.feed(&c, 1);
    for (auto& f : drain(d)) frames.push_back(std::move(f));
  }
  checkStream(frames, d.heartBeats());
}

TEST(FrameDecoder, UnescapesByVersion) {
  const std::string frame = bytes("MESSAGE\nk:a\\cb\\nc\n\n\0");
  for (Version v : {Version::V1_1, Version::V1_2}) {
    FrameDecoder d;
    d.setVersion(v);
    d.feed(frame);
    EXPECT_EQ(d.next().header("k").value_or(""), "a:b\nc");
  }
  FrameDecoder v10;
  v10.feed(frame);
  EXPECT_EQ(v10.next().header("k").value_or(""), "a\\cb\\nc") << "1.0 takes values as they stand";

  // CONNECTED is never unescaped; its value may even hold a colon.
  FrameDecoder connected;
  connected.setVersion(Version::V1_2);
  connected.feed(bytes("CONNECTED\nserver:x\\y:z\n\n\0"));
  EXPECT_EQ(connected.next().header("server").value_or(""), "x\\y:z");
}

TEST(FrameDecoder, RejectsMalformedInputAndStaysFailed) {
  struct Case {
    const char* what;
    std::string input;
  } cases[] = {
      {"no colon", bytes("MESSAGE\nnocolon\n\n\0")},
      {"empty name", bytes("MESSAGE\n:v\n\n\0")},
      {"bad escape", bytes("MESSAGE\nk:\\t\n\n\0")},
      {"bad content-length", bytes("MESSAGE\ncontent-length:12x\n\n\0")},
      {"negative content-length", bytes("MESSAGE\ncontent-length:-1\n\n\0")},
      {"content-length not ending in NUL", bytes("MESSAGE\ncontent-length:2\n\nabc\0")},
      {"lower-case command", bytes("message\n\n\0")},
      {"empty command", bytes("\0")},
      {"stray CR", bytes("\rX")},
      {"binary", bytes("\0\0\0\x7b\x01"
                       "ActiveMQ\0\0\0\x0c")},
  };
  for (const auto& c : cases) {
    FrameDecoder d;
    d.setVersion(Version::V1_2);
    EXPECT_THROW(d.feed(c.input), ProtocolError) << c.what;
    EXPECT_THROW(d.feed(bytes("RECEIPT\nreceipt-id:1\n\n\0")), ProtocolError) << c.what << ": must stay failed";
    EXPECT_FALSE(d.hasFrame()) << c.what;
    d.reset();
    d.feed(bytes("RECEIPT\nreceipt-id:1\n\n\0"));
    EXPECT_TRUE(d.hasFrame()) << c.what << ": usable after reset";
  }
}

TEST(FrameDecoder, LimitsBoundMemoryAndAreErrors) {
  stomp::DecoderLimits limits;
  limits.maxHeaders = 3;
  limits.maxHeaderLength = 32;
  limits.maxFrameSize = 256;
  limits.maxCommandLength = 16;

  auto failsWith = [&](const std::string& input, const std::string& text) {
    FrameDecoder d(limits);
    try {
      d.feed(input);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ProtocolError& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
    EXPECT_EQ(d.buffered(), 0u) << "a failed decoder holds no input";
  };
  failsWith(bytes("MESSAGE\na:1\nb:2\nc:3\nd:4\n\n\0"), "more than 3 headers");
  failsWith("MESSAGE\nk:" + std::string(40, 'v') + "\n\n", "header line longer than 32");
  // An endless header line fails once it passes the limit, before its end arrives.
  failsWith("MESSAGE\nk:" + std::string(100, 'v'), "header line longer");
  failsWith(std::string(20, 'A'), "command line longer than 16");
  // A huge content-length is refused at once, without waiting or allocating.
  failsWith(bytes("MESSAGE\ncontent-length:999999999999\n\n"), "over the frame size limit");
  failsWith(bytes("MESSAGE\ncontent-length:250\n\n"), "frame larger than 256");
  // A body without NUL grows only up to the limit.
  failsWith("MESSAGE\n\n" + std::string(300, 'x'), "frame larger than 256");

  // Right at the limits is fine.
  FrameDecoder ok(limits);
  ok.feed("MESSAGE\na:1\nb:2\nk:" + std::string(30, 'v') + "\n\n" + std::string(100, 'x') + '\0');
  ASSERT_TRUE(ok.hasFrame());
  EXPECT_EQ(ok.next().body.size(), 100u);

  // The default limits are generous for real messages.
  FrameDecoder big;
  std::string body(1 << 20, 'x');
  big.feed("MESSAGE\ncontent-length:" + std::to_string(body.size()) + "\n\n" + body + '\0');
  ASSERT_TRUE(big.hasFrame());
  EXPECT_EQ(big.next().body.size(), body.size());
}
