// The library against other clients of the same broker: ActiveMQ's own JMS
// client over OpenWire and python3-stomp (peers in tests/interop/).
#include "Received.h"
#include "stomp/Client.h"
#include "tests/common/TestBroker.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sys/wait.h>

using namespace std::chrono_literals;
using mqb::test::TestBroker;
using stomp::AckMode;
using stomp::Connection;
using stomp::Destination;
using stomp::OutgoingMessage;
using stomp::test::Received;

namespace {

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a peer and returns its standard output; fails the test on a non-zero exit.
std::string peer(const std::vector<std::string>& args) {
  std::string command;
  for (const auto& a : args) command += quote(a) + " ";
  command += "2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string out;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int status = ::pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << out;
  return out;
}

std::string jms() { return TestBroker::sourceDir() + "/tests/interop/jms-peer.sh"; }
std::string py() { return TestBroker::sourceDir() + "/tests/interop/stomp_peer.py"; }

}  // namespace

TEST(Interop, JmsMessagesArriveAsTextOrNotText) {
  TestBroker broker("stomp-interop-jms");
  const std::string ow = broker.openwireUri();
  peer({jms(), "send-text", ow, "in", "{\"login\":7}", "--correlation-id", "c-7", "--persistent"});
  peer({jms(), "send-bytes", ow, "in", "some bytes"});
  peer({jms(), "send-map", ow, "in"});

  Connection c(broker.stompUri());
  c.start();
  Received got;
  c.subscribe(Destination::queue("in"), got.listener(), AckMode::AfterCallback);
  auto text = got.next(), bytes = got.next(), map = got.next();
  ASSERT_TRUE(text && bytes && map);
  EXPECT_TRUE(text->isText());
  EXPECT_EQ(text->body(), "{\"login\":7}");
  EXPECT_EQ(text->correlationId(), "c-7");
  EXPECT_FALSE(bytes->isText());
  EXPECT_EQ(bytes->body(), "some bytes");
  EXPECT_TRUE(map->isText()) << "a map message comes as an empty text, like the broker sends it";
  EXPECT_EQ(map->body(), "");
}

TEST(Interop, LibraryTextReachesJmsAsTextMessages) {
  TestBroker broker("stomp-interop-out");
  Connection c(broker.stompUri());
  c.start();
  c.send(Destination::queue("out"), OutgoingMessage("{\"code\":200}", "corr-42"));
  c.send(Destination::queue("out.nul"), OutgoingMessage(std::string("a\0b", 3)));
  OutgoingMessage raw("raw bytes");
  raw.bytes = true;
  c.send(Destination::queue("out.bytes"), raw);

  const std::string ow = broker.openwireUri();
  std::string text = peer({jms(), "receive", ow, "out", "--timeout-ms", "10000"});
  EXPECT_NE(text.find("TextMessage {\"code\":200}"), std::string::npos) << text;
  EXPECT_NE(text.find("JMSCorrelationID corr-42"), std::string::npos) << text;
  EXPECT_NE(text.find("JMSDeliveryMode PERSISTENT"), std::string::npos) << text;
  std::string nul = peer({jms(), "receive", ow, "out.nul", "--timeout-ms", "10000"});
  EXPECT_EQ(nul.find("TextMessage a"), 0u) << "a NUL in the text keeps it a TextMessage: " << nul;
  std::string bytes = peer({jms(), "receive", ow, "out.bytes", "--timeout-ms", "10000"});
  EXPECT_NE(bytes.find("BytesMessage"), std::string::npos) << bytes;
}

TEST(Interop, PythonStompPeerBothWays) {
  TestBroker broker("stomp-interop-py");
  const std::string port = std::to_string(broker.stompPort());
  peer({py(), "send", "127.0.0.1", port, "/queue/from.py", "hello from python", "--header", "correlation-id=p-1",
        "--header", "persistent=true", "--receipt"});

  Connection c(broker.stompUri());
  c.start();
  Received got;
  c.subscribe(Destination::queue("from.py"), got.listener(), AckMode::AfterCallback);
  auto m = got.next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->body(), "hello from python");
  EXPECT_EQ(m->correlationId(), "p-1");
  EXPECT_TRUE(m->isText());

  c.send(Destination::queue("to.py"), OutgoingMessage("hello from c++", "p-2"));
  std::string out = peer({py(), "receive", "127.0.0.1", port, "/queue/to.py", "--timeout", "10"});
  EXPECT_NE(out.find("correlation-id:p-2"), std::string::npos) << out;
  EXPECT_NE(out.find("persistent:true"), std::string::npos) << out;
  EXPECT_NE(out.find("\n\nhello from c++"), std::string::npos) << out;
  EXPECT_EQ(out.find("content-length"), std::string::npos) << "text goes without content-length: " << out;
}
