#pragma once
// A STOMP frame and its encoding. Protocol core: no I/O.
#include "stomp/Headers.h"

#include <string>

namespace stomp {

enum class Version { V1_0, V1_1, V1_2 };

const char* versionName(Version v);

struct Frame {
  std::string command;
  Headers headers;  // wire order; the first of a repeated name wins
  std::string body;

  std::optional<std::string> header(const std::string& name) const { return findHeader(headers, name); }
  bool hasHeader(const std::string& name) const { return header(name).has_value(); }
};

struct EncodeOptions {
  Version version = Version::V1_2;
  // Write content-length even when the body has no NUL byte.
  bool contentLength = false;
};

// Encodes one frame. Header names and values are escaped as `version` asks
// (none for 1.0 and for CONNECT/CONNECTED). Any content-length among the
// headers is ignored: the encoder writes the true one itself, when asked or
// when the body holds a NUL byte (it could not be NUL-terminated otherwise).
// Throws ProtocolError for a header STOMP 1.0 cannot carry (line break).
std::string encodeFrame(const Frame& frame, const EncodeOptions& options = {});
void encodeFrameTo(std::string& out, const Frame& frame, const EncodeOptions& options = {});

// Header escaping per version; CONNECT and CONNECTED frames are never escaped.
bool escapesHeaders(Version v, const std::string& command);
std::string escapeHeader(const std::string& text, Version v);
// Throws ProtocolError on an undefined escape sequence.
std::string unescapeHeader(const std::string& text, Version v);

}  // namespace stomp
