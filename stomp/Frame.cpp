#include "stomp/Frame.h"

#include "stomp/Error.h"

namespace stomp {

const char* versionName(Version v) {
  switch (v) {
    case Version::V1_0:
      return "1.0";
    case Version::V1_1:
      return "1.1";
    case Version::V1_2:
      return "1.2";
  }
  return "?";
}

bool escapesHeaders(Version v, const std::string& command) {
  return v != Version::V1_0 && command != "CONNECT" && command != "CONNECTED";
}

std::string escapeHeader(const std::string& text, Version v) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case ':':
        out += "\\c";
        break;
      case '\r':
        // 1.1 has no \r escape; a raw CR is harmless inside a 1.1 value
        // except right before the line end, which escaping \n rules out.
        if (v == Version::V1_2)
          out += "\\r";
        else
          out += c;
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string unescapeHeader(const std::string& text, Version v) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 1 >= text.size()) throw ProtocolError("header ends in a lone backslash");
    char e = text[++i];
    switch (e) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'c':
        out += ':';
        break;
      case 'r':
        if (v == Version::V1_2) {
          out += '\r';
          break;
        }
        [[fallthrough]];
      default:
        throw ProtocolError(std::string("undefined escape sequence \\") + e + " in a header");
    }
  }
  return out;
}

void encodeFrameTo(std::string& out, const Frame& frame, const EncodeOptions& options) {
  const bool escape = escapesHeaders(options.version, frame.command);
  out += frame.command;
  out += '\n';
  for (const auto& [name, value] : frame.headers) {
    if (name == "content-length") continue;
    if (escape) {
      if (options.version == Version::V1_1 &&
          ((!name.empty() && name.back() == '\r') || (!value.empty() && value.back() == '\r')))
        throw ProtocolError("header '" + escapeHeader(name, Version::V1_2) +
                            "' ends in a carriage return, which STOMP 1.1 cannot carry");
      out += escapeHeader(name, options.version);
      out += ':';
      out += escapeHeader(value, options.version);
    } else {
      if (name.find_first_of(":\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
        throw ProtocolError("header '" + name + "' cannot be sent unescaped (line break or colon)");
      out += name;
      out += ':';
      out += value;
    }
    out += '\n';
  }
  if (options.contentLength || frame.body.find('\0') != std::string::npos) {
    out += "content-length:";
    out += std::to_string(frame.body.size());
    out += '\n';
  }
  out += '\n';
  out += frame.body;
  out += '\0';
}

std::string encodeFrame(const Frame& frame, const EncodeOptions& options) {
  std::string out;
  out.reserve(frame.command.size() + frame.body.size() + 32 * (frame.headers.size() + 1));
  encodeFrameTo(out, frame, options);
  return out;
}

}  // namespace stomp
