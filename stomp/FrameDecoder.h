#pragma once
// Incremental STOMP frame decoder. Protocol core: bytes in, frames out.
// Accepts LF and CRLF line ends, content-length and NUL-terminated bodies,
// and EOLs between frames (heart-beats). Input over a limit or malformed is
// a ProtocolError; the decoder then stays failed (the connection must go).
#include "stomp/Frame.h"

#include <cstddef>
#include <deque>
#include <string>

namespace stomp {

struct DecoderLimits {
  std::size_t maxCommandLength = 64;
  std::size_t maxHeaders = 1000;
  std::size_t maxHeaderLength = 64 * 1024;      // one header line, escaped
  std::size_t maxFrameSize = 64 * 1024 * 1024;  // headers + body
};

class FrameDecoder {
 public:
  explicit FrameDecoder(DecoderLimits limits = {});

  // Header unescaping follows this version (1.0 until CONNECTED came).
  void setVersion(Version v) { version_ = v; }
  Version version() const { return version_; }

  // Consumes the bytes; completed frames queue up for next(). Throws
  // ProtocolError (and keeps throwing) once the input is broken.
  void feed(const char* data, std::size_t size);
  void feed(const std::string& data) { feed(data.data(), data.size()); }

  bool hasFrame() const { return !frames_.empty(); }
  // The oldest completed frame; call only when hasFrame().
  Frame next();

  // EOLs seen between frames since construction (heart-beats).
  std::size_t heartBeats() const { return heartBeats_; }
  // Bytes held for a frame not yet complete.
  std::size_t buffered() const { return buf_.size() - pos_; }

  void reset();

 private:
  enum class State { Idle, Command, Headers, Body };

  bool step();  // advances by one token; false when more input is needed
  bool takeLine(std::string& line, std::size_t limit, const char* what);
  void addHeader(const std::string& line);
  void fail(const std::string& why);
  void compact();

  DecoderLimits limits_;
  Version version_ = Version::V1_0;
  State state_ = State::Idle;
  std::string buf_;
  std::size_t pos_ = 0;      // first unconsumed byte
  std::size_t scanned_ = 0;  // bytes after pos_ already searched for a terminator
  std::size_t frameBytes_ = 0;
  long long contentLength_ = -1;
  Frame current_;
  std::string line_;
  std::deque<Frame> frames_;
  std::size_t heartBeats_ = 0;
  std::string error_;
};

}  // namespace stomp
