#include "stomp/BrokerUri.h"
#include "stomp/Error.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using stomp::parseBrokerUri;

TEST(BrokerUri, SingleEndpointsAndTheirOptions) {
  auto tcp = parseBrokerUri("tcp://127.0.0.1:61613");
  EXPECT_FALSE(tcp.failover);
  ASSERT_EQ(tcp.endpoints.size(), 1u);
  EXPECT_EQ(tcp.endpoints[0].host, "127.0.0.1");
  EXPECT_EQ(tcp.endpoints[0].port, "61613");
  EXPECT_FALSE(tcp.endpoints[0].tls);

  EXPECT_FALSE(parseBrokerUri("stomp://broker.example:1").endpoints[0].tls);
  EXPECT_TRUE(parseBrokerUri("stomp+ssl://h:2").endpoints[0].tls);
  EXPECT_TRUE(parseBrokerUri("SSL://h:2").endpoints[0].tls) << "schemes are case-blind";
  EXPECT_EQ(parseBrokerUri("  tcp://h:3/ \n").endpoints[0].port, "3") << "surrounding blanks and a slash";

  auto ssl = parseBrokerUri("ssl://localhost:61614?caFile=/etc/ca.pem&verifyHostName=false");
  EXPECT_TRUE(ssl.endpoints[0].tls);
  EXPECT_EQ(ssl.endpoints[0].caFile, "/etc/ca.pem");
  EXPECT_TRUE(ssl.endpoints[0].verifyPeer);
  EXPECT_FALSE(ssl.endpoints[0].verifyHostName);
  EXPECT_FALSE(parseBrokerUri("ssl://h:1?verifyPeer=false").endpoints[0].verifyPeer);

  auto v6 = parseBrokerUri("tcp://[::1]:61613");
  EXPECT_EQ(v6.endpoints[0].host, "::1");
  EXPECT_EQ(v6.endpoints[0].port, "61613");
  EXPECT_NO_THROW(parseBrokerUri("tcp://h:1?wireFormat=stomp"));
}

TEST(BrokerUri, FailoverListsAndOptions) {
  auto f = parseBrokerUri(
      "failover:(tcp://a:1,ssl://b:2?caFile=/ca.pem)?initialReconnectDelay=50&"
      "maxReconnectDelay=2000&maxReconnectAttempts=7&randomize=false&"
      "startupMaxReconnectAttempts=2&backOffMultiplier=1.5&useExponentialBackOff=true");
  EXPECT_TRUE(f.failover);
  ASSERT_EQ(f.endpoints.size(), 2u);
  EXPECT_EQ(f.endpoints[0].host, "a");
  EXPECT_TRUE(f.endpoints[1].tls);
  EXPECT_EQ(f.endpoints[1].caFile, "/ca.pem");
  EXPECT_EQ(f.options.initialReconnectDelay, 50ms);
  EXPECT_EQ(f.options.maxReconnectDelay, 2000ms);
  EXPECT_EQ(f.options.maxReconnectAttempts, 7);
  EXPECT_EQ(f.options.startupMaxReconnectAttempts, 2);
  EXPECT_FALSE(f.options.randomize);
  EXPECT_DOUBLE_EQ(f.options.backOffMultiplier, 1.5);

  auto defaults = parseBrokerUri("failover:(tcp://a:1)");
  EXPECT_EQ(defaults.options.maxReconnectAttempts, -1);
  EXPECT_TRUE(defaults.options.randomize);

  // The bare form: endpoint options stay with the endpoint, the rest are failover's.
  auto bare = parseBrokerUri("failover:ssl://h:9?caFile=/x.pem&maxReconnectAttempts=3");
  ASSERT_EQ(bare.endpoints.size(), 1u);
  EXPECT_EQ(bare.endpoints[0].caFile, "/x.pem");
  EXPECT_EQ(bare.options.maxReconnectAttempts, 3);
  EXPECT_EQ(parseBrokerUri("failover:tcp://h:9").endpoints[0].port, "9");
}

TEST(BrokerUri, BackOffGrowsToItsCap) {
  stomp::FailoverOptions o;
  o.initialReconnectDelay = 10ms;
  o.maxReconnectDelay = 100ms;
  EXPECT_EQ(stomp::reconnectDelay(o, 1), 10ms);
  EXPECT_EQ(stomp::reconnectDelay(o, 2), 20ms);
  EXPECT_EQ(stomp::reconnectDelay(o, 4), 80ms);
  EXPECT_EQ(stomp::reconnectDelay(o, 5), 100ms);
  EXPECT_EQ(stomp::reconnectDelay(o, 500), 100ms);
  o.useExponentialBackOff = false;
  EXPECT_EQ(stomp::reconnectDelay(o, 9), 10ms);
}

TEST(BrokerUri, MalformedUrisAreErrorsThatNameThem) {
  const char* bad[] = {
      "",
      "   ",
      "127.0.0.1:61613",
      "http://h:1",
      "tcp://h",
      "tcp://:61613",
      "tcp://h:0",
      "tcp://h:65536",
      "tcp://h:12ab",
      "tcp://h:1/path",
      "tcp://h:1?nosuch=1",
      "tcp://h:1?caFile=/ca.pem",
      "tcp://h:1?wireFormat=openwire",
      "ssl://h:1?verifyPeer=yes",
      "ssl://h:1?caFile=",
      "ssl://h:1?caFile",
      "tcp://[::1:1",
      "tcp://h 1:2",
      "failover:(tcp://h:1",
      "failover:(tcp://h:1,,tcp://h:2)",
      "failover:()",
      "failover:(tcp://h:1)x",
      "failover:(tcp://h:1)?maxReconnectAttempts=lots",
      "failover:(tcp://h:1)?maxReconnectAttempts=-2",
      "failover:(tcp://h:1)?randomize=1",
      "failover:(tcp://h:1)?backOffMultiplier=0.5",
      "failover:(tcp://h:1)?nosuch=1",
      "failover:(tcp://h:1)?randomize=true&randomize=false",
      "failover:(udp://h:1)",
  };
  for (const char* uri : bad) {
    try {
      parseBrokerUri(uri);
      ADD_FAILURE() << "accepted '" << uri << "'";
    } catch (const stomp::UriError& e) {
      if (std::string(uri).find_first_not_of(' ') != std::string::npos) {
        EXPECT_NE(std::string(e.what()).find(std::string(uri).substr(0, 10)), std::string::npos) << e.what();
      }
    }
  }
}
