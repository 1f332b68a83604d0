#include "stomp/Error.h"
#include "stomp/Session.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using stomp::AckMode;
using stomp::Destination;
using stomp::Frame;
using stomp::OutgoingMessage;
using stomp::Session;
using stomp::SessionConfig;
using stomp::Version;

namespace {

SessionConfig config(std::string login = {}, std::string pass = {}) {
  SessionConfig c;
  c.host = "broker";
  c.login = std::move(login);
  c.passcode = std::move(pass);
  c.heartBeatSend = 4000ms;
  c.heartBeatReceive = 6000ms;
  return c;
}

Frame connected(std::string version, std::string heartBeat = "") {
  Frame f{"CONNECTED", {}, ""};
  if (!version.empty()) f.headers.emplace_back("version", version);
  if (!heartBeat.empty()) f.headers.emplace_back("heart-beat", heartBeat);
  return f;
}

}  // namespace

TEST(Session, ConnectFrameCarriesCredentialsOnlyWhenBothAreSet) {
  Frame f = Session(config("user", "pw")).connectFrame();
  EXPECT_EQ(f.command, "CONNECT");
  EXPECT_EQ(f.header("accept-version").value_or(""), "1.0,1.1,1.2");
  EXPECT_EQ(f.header("host").value_or(""), "broker");
  EXPECT_EQ(f.header("heart-beat").value_or(""), "4000,6000");
  EXPECT_EQ(f.header("login").value_or(""), "user");
  EXPECT_EQ(f.header("passcode").value_or(""), "pw");
  for (auto [login, pass] : {std::pair{"user", ""}, std::pair{"", "pw"}, std::pair{"", ""}}) {
    Frame anon = Session(config(login, pass)).connectFrame();
    EXPECT_FALSE(anon.hasHeader("login"));
    EXPECT_FALSE(anon.hasHeader("passcode"));
  }
}

TEST(Session, NegotiatesVersionAndHeartBeats) {
  Session s12(config());
  s12.onConnected(connected("1.2", "5000,3000"));
  EXPECT_TRUE(s12.connected());
  EXPECT_EQ(s12.version(), Version::V1_2);
  EXPECT_EQ(s12.sendInterval(), 4000ms);     // max(cx 4000, sy 3000)
  EXPECT_EQ(s12.receiveInterval(), 6000ms);  // max(cy 6000, sx 5000)

  Session s11(config());
  s11.onConnected(connected("1.1", "9000,0"));
  EXPECT_EQ(s11.version(), Version::V1_1);
  EXPECT_EQ(s11.sendInterval(), 0ms) << "the broker does not want heart-beats";
  EXPECT_EQ(s11.receiveInterval(), 9000ms);

  Session none(config());
  none.onConnected(connected("1.2"));
  EXPECT_EQ(none.sendInterval(), 0ms);
  EXPECT_EQ(none.receiveInterval(), 0ms);

  Session s10(config());
  s10.onConnected(connected("", "1000,1000"));
  EXPECT_EQ(s10.version(), Version::V1_0) << "no version header means 1.0";
  EXPECT_EQ(s10.sendInterval(), 0ms) << "1.0 has no heart-beats";

  auto noHeartBeats = config();
  noHeartBeats.heartBeatSend = noHeartBeats.heartBeatReceive = 0ms;
  Session off(noHeartBeats);
  off.onConnected(connected("1.2", "1000,1000"));
  EXPECT_EQ(off.sendInterval(), 0ms);
  EXPECT_EQ(off.receiveInterval(), 0ms);

  for (const char* hb : {"1000", "a,b", "1000,", ",1", "-1,5"})
    EXPECT_THROW(Session(config()).onConnected(connected("1.2", hb)), stomp::ProtocolError) << hb;
  EXPECT_THROW(Session(config()).onConnected(connected("2.0")), stomp::ProtocolError);
  EXPECT_THROW(Session(config()).onConnected(Frame{"MESSAGE", {}, ""}), stomp::ProtocolError);
  try {
    Session(config()).onConnected(Frame{"ERROR", {{"message", "Authentication failed"}}, "details"});
    FAIL();
  } catch (const stomp::BrokerError& e) {
    EXPECT_EQ(e.brokerMessage(), "Authentication failed");
    EXPECT_EQ(e.details(), "details");
  }
}

TEST(Session, SubscriptionsAndAcknowledgementsPerVersion) {
  Session s(config());
  auto& a =
      s.addSubscription(Destination::queue("q"), AckMode::AfterCallback,
                        {{"selector", "JMSCorrelationID = 'x'"}, {"ack", "auto"}, {"activemq.prefetchSize", "1"}});
  auto& b = s.addSubscription(Destination::topic("t"), AckMode::Auto, {});
  EXPECT_NE(a.id, b.id);
  EXPECT_THROW(s.addSubscription(Destination::queue("q"), AckMode::Client, {}, a.id), stomp::Error);
  EXPECT_EQ(s.subscriptionIds(), (std::vector<std::string>{a.id, b.id}));

  Frame sub = s.subscribeFrame(a.id);
  EXPECT_EQ(sub.command, "SUBSCRIBE");
  EXPECT_EQ(sub.header("id").value_or(""), a.id);
  EXPECT_EQ(sub.header("destination").value_or(""), "/queue/q");
  EXPECT_EQ(sub.header("ack").value_or(""), "client-individual") << "extra headers cannot change the mode";
  EXPECT_EQ(sub.header("selector").value_or(""), "JMSCorrelationID = 'x'");
  EXPECT_EQ(sub.header("activemq.prefetchSize").value_or(""), "1");
  EXPECT_EQ(s.subscribeFrame(b.id).header("ack").value_or(""), "auto");
  EXPECT_EQ(s.subscribeFrame(b.id).header("destination").value_or(""), "/topic/t");
  EXPECT_EQ(stomp::ackModeName(AckMode::Client), std::string("client"));

  const stomp::Headers msg{{"message-id", "ID:1"}, {"ack", "A-1"}, {"subscription", a.id}};
  Session v12(config()), v11(config()), v10(config());
  v12.onConnected(connected("1.2"));
  v11.onConnected(connected("1.1"));
  v10.onConnected(connected("1.0"));
  Frame ack12 = v12.ackFrame(msg, a.id);
  EXPECT_EQ(ack12.command, "ACK");
  EXPECT_EQ(ack12.headers, (stomp::Headers{{"id", "A-1"}}));
  EXPECT_EQ(v11.ackFrame(msg, a.id).headers, (stomp::Headers{{"message-id", "ID:1"}, {"subscription", a.id}}));
  EXPECT_EQ(v10.ackFrame(msg, a.id).headers, (stomp::Headers{{"message-id", "ID:1"}}));
  EXPECT_EQ(v12.nackFrame(msg, a.id).command, "NACK");
  EXPECT_THROW(v10.nackFrame(msg, a.id), stomp::Error);
  EXPECT_EQ(v12.ackFrame({{"message-id", "ID:2"}}, a.id).headers, (stomp::Headers{{"id", "ID:2"}}));
  EXPECT_THROW(v11.ackFrame({}, a.id), stomp::ProtocolError);

  const std::string aId = a.id;
  Frame unsub = s.unsubscribeFrame(aId);
  EXPECT_EQ(unsub.command, "UNSUBSCRIBE");
  EXPECT_EQ(unsub.header("id").value_or(""), aId);
  EXPECT_TRUE(s.removeSubscription(a.id));  // its own id, gone with it
  EXPECT_FALSE(s.removeSubscription(aId));
  EXPECT_EQ(s.subscription(aId), nullptr);
  s.onDisconnected();
  EXPECT_EQ(s.subscriptionIds().size(), 1u) << "subscriptions outlive a connection, to be restored";
}

TEST(Session, SendFramesKeepTextAsText) {
  Session s(config());
  s.onConnected(connected("1.2"));
  const auto q = Destination::queue("replies");

  OutgoingMessage text("{\"a\":1}", "corr-9");
  text.headers = {{"destination", "/queue/evil"}, {"persistent", "false"}, {"x-extra", "1"}, {"receipt", "no"}};
  Frame f = s.sendFrame(q, text, "rcpt-1");
  EXPECT_EQ(f.command, "SEND");
  EXPECT_EQ(f.header("destination").value_or(""), "/queue/replies");
  EXPECT_EQ(f.header("persistent").value_or(""), "true");
  EXPECT_EQ(f.header("receipt").value_or(""), "rcpt-1");
  EXPECT_EQ(f.header("correlation-id").value_or(""), "corr-9");
  EXPECT_EQ(f.header("x-extra").value_or(""), "1");
  EXPECT_FALSE(f.hasHeader("amq-msg-type"));
  EXPECT_EQ(std::count_if(f.headers.begin(), f.headers.end(), [](auto& h) { return h.first == "destination"; }), 1);
  std::string wire = stomp::encodeFrame(f, s.encodeOptions(&text));
  EXPECT_EQ(wire.find("content-length"), std::string::npos) << "text goes without content-length";

  OutgoingMessage nul(std::string("a\0b", 3));
  Frame fn = s.sendFrame(q, nul, "rcpt-2");
  EXPECT_EQ(fn.header("amq-msg-type").value_or(""), "text");
  EXPECT_NE(stomp::encodeFrame(fn, s.encodeOptions(&nul)).find("content-length:3"), std::string::npos);

  OutgoingMessage bin("raw");
  bin.bytes = true;
  Frame fb = s.sendFrame(q, bin, "rcpt-3");
  EXPECT_FALSE(fb.hasHeader("amq-msg-type"));
  EXPECT_NE(stomp::encodeFrame(fb, s.encodeOptions(&bin)).find("content-length:3"), std::string::npos);

  OutgoingMessage transient("t");
  transient.persistent = false;
  EXPECT_FALSE(s.sendFrame(q, transient, "r").hasHeader("persistent"));

  OutgoingMessage inTransaction("t");
  inTransaction.transaction = "tx-1";
  inTransaction.headers = {{"transaction", "other"}};
  EXPECT_EQ(s.sendFrame(q, inTransaction, "r").header("transaction").value_or(""), "tx-1");
  Frame commit = Session::transactionFrame("COMMIT", "tx-1", "rcpt-5");
  EXPECT_EQ(commit.command, "COMMIT");
  EXPECT_EQ(commit.headers, (stomp::Headers{{"transaction", "tx-1"}, {"receipt", "rcpt-5"}}));

  Frame d = s.disconnectFrame("rcpt-4");
  EXPECT_EQ(d.command, "DISCONNECT");
  EXPECT_EQ(d.header("receipt").value_or(""), "rcpt-4");
}

TEST(Session, ClassifiesIncomingFrames) {
  Session s(config());
  s.onConnected(connected("1.2"));
  auto& sub = s.addSubscription(Destination::queue("q"), AckMode::ClientIndividual, {});
  const std::string id = sub.id;

  const std::string r1 = "rcpt-1", r2 = "rcpt-2";
  auto ev = s.onFrame(Frame{"RECEIPT", {{"receipt-id", r1}}, ""});
  EXPECT_EQ(ev.kind, stomp::IncomingEvent::Kind::Receipt);
  EXPECT_EQ(ev.id, r1);
  EXPECT_EQ(s.onFrame(Frame{"RECEIPT", {{"receipt-id", "late"}}, ""}).kind, stomp::IncomingEvent::Kind::Receipt);
  EXPECT_THROW(s.onFrame(Frame{"RECEIPT", {}, ""}), stomp::ProtocolError);

  auto err = s.onFrame(Frame{"ERROR", {{"receipt-id", r2}, {"message", "no"}}, ""});
  EXPECT_EQ(err.kind, stomp::IncomingEvent::Kind::Error);
  EXPECT_EQ(err.id, r2);
  auto be = stomp::brokerErrorFrom(err.frame, "send to /queue/q");
  EXPECT_EQ(std::string(be.what()), "send to /queue/q: broker error: no");

  auto m = s.onFrame(Frame{"MESSAGE", {{"subscription", id}, {"destination", "/queue/q"}}, "x"});
  EXPECT_EQ(m.kind, stomp::IncomingEvent::Kind::Message);
  EXPECT_EQ(m.id, id);
  auto m10 = s.onFrame(Frame{"MESSAGE", {{"destination", "/queue/q"}}, "x"});
  EXPECT_EQ(m10.id, id) << "without a subscription header the destination decides";
  EXPECT_THROW(s.onFrame(Frame{"CONNECTED", {}, ""}), stomp::ProtocolError);
  EXPECT_THROW(s.onFrame(Frame{"SEND", {}, ""}), stomp::ProtocolError);
}
