#include "stomp/FrameDecoder.h"

#include "stomp/Error.h"

#include <cstring>

namespace stomp {

FrameDecoder::FrameDecoder(DecoderLimits limits) : limits_(limits) {}

void FrameDecoder::reset() {
  state_ = State::Idle;
  buf_.clear();
  pos_ = scanned_ = frameBytes_ = 0;
  contentLength_ = -1;
  current_ = Frame{};
  frames_.clear();
  error_.clear();
}

void FrameDecoder::fail(const std::string& why) {
  error_ = why;
  buf_.clear();
  pos_ = scanned_ = 0;
  throw ProtocolError(why);
}

Frame FrameDecoder::next() {
  Frame f = std::move(frames_.front());
  frames_.pop_front();
  return f;
}

void FrameDecoder::feed(const char* data, std::size_t size) {
  if (!error_.empty()) throw ProtocolError(error_);
  buf_.append(data, size);
  while (step()) {
  }
  compact();
}

void FrameDecoder::compact() {
  // Drop consumed bytes once they dominate, so the buffer stays bounded by
  // one frame without moving memory on every byte.
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > 4096 && pos_ * 2 > buf_.size()) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
}

// Takes one line (without its LF and an optional CR before it) starting at
// pos_. Lines longer than `limit` are an error even before their end arrives.
bool FrameDecoder::takeLine(std::string& line, std::size_t limit, const char* what) {
  const char* begin = buf_.data() + pos_;
  std::size_t avail = buf_.size() - pos_;
  const void* lf = std::memchr(begin + scanned_, '\n', avail - scanned_);
  if (!lf) {
    scanned_ = avail;
    if (avail > limit + 1) fail(std::string(what) + " longer than " + std::to_string(limit) + " bytes");
    return false;
  }
  std::size_t len = static_cast<const char*>(lf) - begin;
  std::size_t consumed = len + 1;
  if (len > 0 && begin[len - 1] == '\r') --len;
  if (len > limit) fail(std::string(what) + " longer than " + std::to_string(limit) + " bytes");
  line.assign(begin, len);
  pos_ += consumed;
  scanned_ = 0;
  frameBytes_ += consumed;
  if (frameBytes_ > limits_.maxFrameSize) fail("frame larger than " + std::to_string(limits_.maxFrameSize) + " bytes");
  return true;
}

void FrameDecoder::addHeader(const std::string& line) {
  if (current_.headers.size() >= limits_.maxHeaders)
    fail("frame has more than " + std::to_string(limits_.maxHeaders) + " headers");
  std::size_t colon = line.find(':');
  if (colon == std::string::npos) fail("header line without a colon in " + current_.command + " frame");
  if (colon == 0) fail("header with an empty name in " + current_.command + " frame");
  std::string name = line.substr(0, colon);
  std::string value = line.substr(colon + 1);
  if (line.find('\\') != std::string::npos && escapesHeaders(version_, current_.command)) {
    try {
      name = unescapeHeader(name, version_);
      value = unescapeHeader(value, version_);
    } catch (const ProtocolError& e) {
      fail(e.what());
    }
  }
  if (name == "content-length" && contentLength_ < 0) {
    // The first content-length wins, like any repeated header.
    if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
      fail("invalid content-length '" + value.substr(0, 32) + "'");
    contentLength_ = std::stoll(value);
    if (static_cast<unsigned long long>(contentLength_) > limits_.maxFrameSize)
      fail("content-length " + value + " over the frame size limit of " + std::to_string(limits_.maxFrameSize) +
           " bytes");
  }
  current_.headers.emplace_back(std::move(name), std::move(value));
}

bool FrameDecoder::step() {
  const std::size_t avail = buf_.size() - pos_;
  switch (state_) {
    case State::Idle: {
      // EOLs between frames are heart-beats.
      if (avail == 0) return false;
      char c = buf_[pos_];
      if (c == '\n') {
        ++pos_;
        ++heartBeats_;
        return true;
      }
      if (c == '\r') {
        if (avail < 2) return false;
        if (buf_[pos_ + 1] != '\n') fail("stray carriage return between frames");
        pos_ += 2;
        ++heartBeats_;
        return true;
      }
      state_ = State::Command;
      frameBytes_ = 0;
      scanned_ = 0;
      contentLength_ = -1;
      current_ = Frame{};
      return true;
    }
    case State::Command: {
      // Check bytes as they come: a peer speaking another protocol is
      // refused at once, not after a line end that may never arrive.
      for (std::size_t i = pos_ + scanned_; i < buf_.size() && buf_[i] != '\n'; ++i) {
        char c = buf_[i];
        bool crBeforeLf = c == '\r' && (i + 1 == buf_.size() || buf_[i + 1] == '\n');
        if ((c < 'A' || c > 'Z') && !crBeforeLf)
          fail(std::string("not a STOMP frame: invalid command byte 0x") + "0123456789abcdef"[(c >> 4) & 0xf] +
               "0123456789abcdef"[c & 0xf]);
      }
      std::string& line = line_;
      if (!takeLine(line, limits_.maxCommandLength, "command line")) return false;
      if (line.empty()) fail("empty command line");
      for (char c : line)
        if (c < 'A' || c > 'Z') fail("not a STOMP frame: invalid byte in the command line");
      current_.command = line;
      state_ = State::Headers;
      return true;
    }
    case State::Headers: {
      std::string& line = line_;  // reused: no allocation per line
      if (!takeLine(line, limits_.maxHeaderLength, "header line")) return false;
      if (line.empty()) {
        state_ = State::Body;
        scanned_ = 0;
        return true;
      }
      addHeader(line);
      return true;
    }
    case State::Body: {
      std::size_t bodyLen;
      if (contentLength_ >= 0) {
        const auto len = static_cast<std::size_t>(contentLength_);
        if (frameBytes_ + len + 1 > limits_.maxFrameSize)
          fail("frame larger than " + std::to_string(limits_.maxFrameSize) + " bytes");
        if (avail < len + 1) return false;
        if (buf_[pos_ + len] != '\0')
          fail("body of " + current_.command + " frame not terminated by NUL after content-length bytes");
        bodyLen = len;
      } else {
        const char* begin = buf_.data() + pos_;
        const void* nul = std::memchr(begin + scanned_, '\0', avail - scanned_);
        if (!nul) {
          scanned_ = avail;
          if (frameBytes_ + avail > limits_.maxFrameSize)
            fail("frame larger than " + std::to_string(limits_.maxFrameSize) + " bytes");
          return false;
        }
        bodyLen = static_cast<const char*>(nul) - begin;
        if (frameBytes_ + bodyLen + 1 > limits_.maxFrameSize)
          fail("frame larger than " + std::to_string(limits_.maxFrameSize) + " bytes");
      }
      current_.body.assign(buf_.data() + pos_, bodyLen);
      pos_ += bodyLen + 1;
      scanned_ = 0;
      frames_.push_back(std::move(current_));
      current_ = Frame{};
      state_ = State::Idle;
      return true;
    }
  }
  return false;
}

}  // namespace stomp
