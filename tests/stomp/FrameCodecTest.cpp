#include "stomp/Error.h"
#include "stomp/Frame.h"
#include "stomp/FrameDecoder.h"

#include <gtest/gtest.h>

using stomp::encodeFrame;
using stomp::EncodeOptions;
using stomp::Frame;
using stomp::FrameDecoder;
using stomp::Version;

namespace {

template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);  // keeps embedded NULs, drops the literal's own
}

Frame decodeOne(const std::string& bytes, Version v) {
  FrameDecoder d;
  d.setVersion(v);
  d.feed(bytes);
  EXPECT_TRUE(d.hasFrame());
  return d.hasFrame() ? d.next() : Frame{};
}

}  // namespace

TEST(FrameCodec, EncodesCommandHeadersAndBody) {
  Frame f{"SEND", {{"destination", "/queue/a"}, {"receipt", "r-1"}}, "hello"};
  EXPECT_EQ(encodeFrame(f), std::string("SEND\ndestination:/queue/a\nreceipt:r-1\n\nhello") + '\0');

  // A NUL in the body forces content-length; a stale one among the headers is replaced.
  Frame nul{"SEND", {{"content-length", "999"}, {"destination", "/queue/a"}}, std::string("a\0b", 3)};
  EXPECT_EQ(encodeFrame(nul), bytes("SEND\ndestination:/queue/a\ncontent-length:3\n\na\0b\0"));
  EncodeOptions withLength;
  withLength.contentLength = true;
  EXPECT_EQ(encodeFrame(Frame{"SEND", {}, "xy"}, withLength), std::string("SEND\ncontent-length:2\n\nxy") + '\0');
}

TEST(FrameCodec, EscapingFollowsTheVersion) {
  Frame f{"SEND", {{"k:1", "a:b\nc\\d\re"}}, ""};
  EXPECT_EQ(encodeFrame(f, {Version::V1_2, false}), std::string("SEND\nk\\c1:a\\cb\\nc\\\\d\\re\n\n") + '\0');
  // 1.1 knows no \r escape.
  EXPECT_EQ(encodeFrame(f, {Version::V1_1, false}), std::string("SEND\nk\\c1:a\\cb\\nc\\\\d\re\n\n") + '\0');
  // 1.0 escapes nothing, so a line break cannot be carried.
  EXPECT_THROW(encodeFrame(f, {Version::V1_0, false}), stomp::ProtocolError);
  Frame colonValue{"SEND", {{"selector", "a:b\\"}}, ""};
  EXPECT_EQ(encodeFrame(colonValue, {Version::V1_0, false}), std::string("SEND\nselector:a:b\\\n\n") + '\0');
  // CONNECT is never escaped, whatever the version.
  Frame connect{"CONNECT", {{"login", "us\\er"}}, ""};
  EXPECT_EQ(encodeFrame(connect, {Version::V1_2, false}), std::string("CONNECT\nlogin:us\\er\n\n") + '\0');
  Frame connectBreak{"CONNECT", {{"passcode", "a\nb"}}, ""};
  try {
    encodeFrame(connectBreak, {Version::V1_2, false});
    FAIL();
  } catch (const stomp::ProtocolError& e) {
    EXPECT_EQ(std::string(e.what()).find("a\nb"), std::string::npos) << "no header value in the error";
  }

  EXPECT_EQ(stomp::unescapeHeader("a\\c\\n\\\\\\r", Version::V1_2), "a:\n\\\r");
  // 1.1 sends CR raw; at the end of a value it would read as part of CRLF.
  EXPECT_THROW(encodeFrame(Frame{"SEND", {{"k", "ends\r"}}, ""}, {Version::V1_1, false}), stomp::ProtocolError);
  EXPECT_THROW(stomp::unescapeHeader("\\r", Version::V1_1), stomp::ProtocolError);
  EXPECT_THROW(stomp::unescapeHeader("\\t", Version::V1_2), stomp::ProtocolError);
  EXPECT_THROW(stomp::unescapeHeader("x\\", Version::V1_2), stomp::ProtocolError);
}

TEST(FrameCodec, RoundTripsInEveryVersion) {
  const std::string awkward[] = {
      "plain", "", "a:b", "new\nline", "back\\slash", "cr\rhere", "ünïcødé", "\\c\\n", std::string("mid\0nul", 7)};
  for (Version v : {Version::V1_0, Version::V1_1, Version::V1_2}) {
    for (const auto& value : awkward) {
      const bool representable = v != Version::V1_0 || value.find_first_of("\r\n") == std::string::npos;
      if (value.find('\0') != std::string::npos) continue;  // header values are text
      Frame f{"MESSAGE", {{"name", value}, {"destination", "/queue/q"}}, "body " + value};
      if (!representable) {
        EXPECT_THROW(encodeFrame(f, {v, false}), stomp::ProtocolError);
        continue;
      }
      Frame back = decodeOne(encodeFrame(f, {v, false}), v);
      EXPECT_EQ(back.command, "MESSAGE");
      EXPECT_EQ(back.header("name").value_or("<none>"), value) << stomp::versionName(v);
      EXPECT_EQ(back.body, f.body);
    }
    for (const auto& body : awkward) {
      Frame f{"SEND", {}, body};
      Frame back = decodeOne(encodeFrame(f, {v, false}), v);
      EXPECT_EQ(back.body, body);
      EXPECT_EQ(back.hasHeader("content-length"), body.find('\0') != std::string::npos);
    }
  }
}
