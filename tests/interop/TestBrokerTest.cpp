// The test broker handle against real brokers, spoken to in plain STOMP over
// a bare socket so that nothing here depends on the project's own client.
#include "tests/common/TestBroker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <set>
#include <string>

using mqb::test::TestBroker;

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Running, and not merely waiting to be reaped.
bool processAlive(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (pid <= 0 || !std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// One TCP connection to 127.0.0.1 that sends and reads STOMP frames.
class RawStomp {
 public:
  explicit RawStomp(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawStomp() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawStomp(const RawStomp&) = delete;
  RawStomp& operator=(const RawStomp&) = delete;

  bool connected() const { return fd_ >= 0; }

  bool send(const std::string& frame) {
    std::string data = frame + std::string(1, '\0');
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // The next frame without its NUL, skipping heart-beat newlines.
  std::optional<std::string> read(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (!buffer_.empty() && buffer_.front() == '\n') buffer_.erase(0, 1);
      if (auto nul = buffer_.find('\0'); nul != std::string::npos) {
        std::string frame = buffer_.substr(0, nul);
        buffer_.erase(0, nul + 1);
        return frame;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // CONNECT (with credentials when given) and the command of the answer.
  std::string login(const std::string& user = "", const std::string& password = "") {
    std::string frame = "CONNECT\naccept-version:1.2\nhost:localhost\n";
    if (!user.empty()) frame += "login:" + user + "\npasscode:" + password + "\n";
    if (!send(frame + "\n")) return "";
    auto reply = read();
    return reply ? reply->substr(0, reply->find('\n')) : "";
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

bool portAnswers(int port) { return RawStomp(port).connected(); }

}  // namespace

TEST(TestBroker, StartsOnLoopbackPortsAndIsPurgedByTheDestructor) {
  std::string dir;
  int stompPort = 0;
  int pid = 0;
  {
    TestBroker broker("handle");
    dir = broker.dir();
    stompPort = broker.stompPort();
    pid = broker.pid();

    EXPECT_NE(broker.name().find(std::to_string(::getpid())), std::string::npos) << broker.name();
    const std::set<int> ports{broker.stompPort(), broker.stompSslPort(), broker.openwirePort()};
    EXPECT_EQ(ports.size(), 3u);
    EXPECT_GT(*ports.begin(), 0);
    EXPECT_EQ(broker.stompUri(), "tcp://127.0.0.1:" + std::to_string(broker.stompPort()));
    EXPECT_EQ(broker.sslUri(), "ssl://127.0.0.1:" + std::to_string(broker.stompSslPort()));
    EXPECT_EQ(broker.openwireUri(), "tcp://127.0.0.1:" + std::to_string(broker.openwirePort()));
    EXPECT_TRUE(exists(broker.caFile()));
    EXPECT_TRUE(exists(broker.untrustedCaFile()));
    EXPECT_NE(broker.caFile(), broker.untrustedCaFile());
    EXPECT_TRUE(exists(broker.envFile()));
    EXPECT_TRUE(broker.running());
    EXPECT_TRUE(processAlive(pid));

    RawStomp stomp(broker.stompPort());
    ASSERT_TRUE(stomp.connected());
    EXPECT_EQ(stomp.login(), "CONNECTED");
    EXPECT_TRUE(portAnswers(broker.openwirePort()));
    EXPECT_TRUE(portAnswers(broker.stompSslPort()));

    TestBroker second("handle");
    EXPECT_NE(second.name(), broker.name());
    EXPECT_EQ((std::set<int>{broker.stompPort(), broker.stompSslPort(), broker.openwirePort(), second.stompPort(),
                             second.stompSslPort(), second.openwirePort()}
                   .size()),
              6u);
  }
  EXPECT_FALSE(exists(dir));
  EXPECT_FALSE(processAlive(pid));
  EXPECT_FALSE(portAnswers(stompPort));
}

TEST(TestBroker, KillAndRestartKeepPortsAndPersistentMessages) {
  TestBroker broker("crash");
  const int port = broker.stompPort();
  const int sslPort = broker.stompSslPort();
  const int openwirePort = broker.openwirePort();
  const int firstPid = broker.pid();
  {
    RawStomp producer(port);
    ASSERT_EQ(producer.login(), "CONNECTED");
    ASSERT_TRUE(producer.send("SEND\ndestination:/queue/kept\npersistent:true\nreceipt:r1\n\nstill here"));
    auto receipt = producer.read();
    ASSERT_TRUE(receipt);
    EXPECT_EQ(receipt->rfind("RECEIPT", 0), 0u) << *receipt;
  }

  broker.kill();
  EXPECT_FALSE(broker.running());
  EXPECT_FALSE(processAlive(firstPid));
  EXPECT_FALSE(portAnswers(port));

  broker.restart();
  EXPECT_TRUE(broker.running());
  EXPECT_NE(broker.pid(), firstPid);
  EXPECT_EQ(broker.stompPort(), port);
  EXPECT_EQ(broker.stompSslPort(), sslPort);
  EXPECT_EQ(broker.openwirePort(), openwirePort);

  RawStomp consumer(port);
  ASSERT_EQ(consumer.login(), "CONNECTED");
  ASSERT_TRUE(consumer.send("SUBSCRIBE\nid:1\ndestination:/queue/kept\nack:auto\n\n"));
  auto message = consumer.read();
  ASSERT_TRUE(message) << "the persistent message did not survive the crash";
  EXPECT_EQ(message->rfind("MESSAGE", 0), 0u);
  EXPECT_NE(message->find("\n\nstill here"), std::string::npos) << *message;

  broker.stop();
  EXPECT_FALSE(broker.running());
  EXPECT_FALSE(portAnswers(port));
}

TEST(TestBroker, WithCredentialsRefusesAnonymousAndWrongLogins) {
  TestBroker broker("auth", {"svc", "pa55:word"});
  EXPECT_EQ(broker.user(), "svc");
  EXPECT_EQ(broker.password(), "pa55:word");

  RawStomp anonymous(broker.stompPort());
  EXPECT_EQ(anonymous.login(), "ERROR");
  RawStomp wrong(broker.stompPort());
  EXPECT_EQ(wrong.login("svc", "nope"), "ERROR");
  RawStomp right(broker.stompPort());
  EXPECT_EQ(right.login("svc", "pa55:word"), "CONNECTED");
}

TEST(TestBroker, ScriptFailuresBecomeExceptions) {
  EXPECT_THROW(TestBroker::runScript({"restart", "never-started-" + std::to_string(::getpid())}), std::runtime_error);
  int status = -1;
  TestBroker::runScript({"status", "never-started-" + std::to_string(::getpid())}, &status);
  EXPECT_EQ(status, 3);
  EXPECT_THROW(TestBroker("bad", {"user", "has space"}), std::runtime_error);
}
