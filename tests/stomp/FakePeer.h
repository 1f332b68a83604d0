#pragma once
// A scripted STOMP peer on a loopback port, for transport tests that need a
// broker to misbehave in ways a real one will not on demand (silence, ERROR
// frames, garbage, late receipts). Connections are served one at a time.
#include "stomp/Frame.h"
#include "stomp/FrameDecoder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace stomp::test {

class PeerConnection {
 public:
  PeerConnection(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) { decoder_.setVersion(Version::V1_2); }
  ~PeerConnection() { ::close(fd_); }

  // The next frame, or nothing on time-out, end of stream or stop.
  std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!decoder_.hasFrame()) {
      if (closed_ || stop_ || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      pollRead(50);
    }
    return decoder_.next();
  }
  // A frame with the given command, skipping others.
  std::optional<Frame> expect(const std::string& command, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto f = readFrame(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
      if (f->command == command) return f;
    }
    return std::nullopt;
  }
  // Reads (and decodes) everything for `duration` or until the peer goes.
  void drain(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    while (!closed_ && !stop_ && std::chrono::steady_clock::now() < deadline) pollRead(20);
  }
  void write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  void send(const Frame& f) { write(encodeFrame(f, {decoder_.version(), false})); }
  void connected(const std::string& version = "1.2", const std::string& heartBeat = "0,0") {
    Frame f{"CONNECTED", {{"server", "fake"}, {"heart-beat", heartBeat}}, ""};
    if (!version.empty()) f.headers.emplace_back("version", version);
    write(encodeFrame(f, {Version::V1_0, false}));
    decoder_.setVersion(version == "1.1"                      ? Version::V1_1
                        : version == "1.0" || version.empty() ? Version::V1_0
                                                              : Version::V1_2);
  }
  // Answers a frame's receipt header, if it has one.
  void receipt(const Frame& f) {
    if (auto r = f.header("receipt")) send(Frame{"RECEIPT", {{"receipt-id", *r}}, ""});
  }
  // The usual opening: CONNECT answered, the first SUBSCRIBE confirmed.
  std::optional<Frame> acceptSubscriber(const std::string& version = "1.2") {
    if (!expect("CONNECT")) return std::nullopt;
    connected(version);
    auto sub = expect("SUBSCRIBE");
    if (sub) receipt(*sub);
    return sub;
  }
  bool closed() const { return closed_; }
  std::size_t heartBeats() const { return decoder_.heartBeats(); }

 private:
  void pollRead(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed_ = true;
      return;
    }
    decoder_.feed(buf, static_cast<std::size_t>(n));
  }

  int fd_;
  const std::atomic<bool>& stop_;
  FrameDecoder decoder_;
  bool closed_ = false;
};

class FakePeer {
 public:
  // handler(connection, index): index counts accepted connections from 0.
  using Handler = std::function<void(PeerConnection&, int)>;

  explicit FakePeer(Handler handler) : handler_(std::move(handler)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 8) != 0)
      throw std::runtime_error("FakePeer: cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~FakePeer() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  int port() const { return port_; }
  std::string uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  int accepted() const { return accepted_; }

 private:
  void run() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      PeerConnection c(fd, stop_);
      handler_(c, accepted_++);
    }
  }

  Handler handler_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace stomp::test
