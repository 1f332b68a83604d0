#include "tradesim/Journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "tradesim/WideText.h"

namespace tradesim {
namespace {

constexpr size_t kMaxEntryChars = 1 << 20;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int64_t nowEpochMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string localTimestamp(int64_t epochMs) {
  const time_t seconds = static_cast<time_t>(epochMs / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(epochMs % 1000));
  return buffer;
}

std::string journalPathFor(const std::string& databasePath) {
  const char* path = std::getenv("TRADESIM_JOURNAL");
  return path && *path ? path : databasePath + ".journal";
}

std::optional<std::wstring> toStandardWideFormat(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p; ++p) {
    out += *p;
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') {
      out += L'%';
      continue;
    }
    // Flags, width and precision pass unchanged.
    while (*p && std::wcschr(L"-+ #0'123456789.*", *p)) out += *p++;
    // Length modifier: "h" marks a narrow text, "I64"/"I32" are the
    // convention's integer sizes.
    std::wstring length;
    while (*p && std::wcschr(L"hlLqjzt", *p)) length += *p++;
    if (*p == L'I' && p[1] == L'6' && p[2] == L'4') {
      length = L"ll";
      p += 3;
    } else if (*p == L'I' && p[1] == L'3' && p[2] == L'2') {
      length.clear();
      p += 3;
    }
    if (!*p || *p == L'n') return std::nullopt;
    if (*p == L's' || *p == L'c') {
      if (length.empty())
        length = L"l";
      else if (length == L"h")
        length.clear();
    } else if (*p == L'S' || *p == L'C') {
      // Upper case is the other width: narrow here.
      out += length;
      out += static_cast<wchar_t>(std::towlower(*p));
      continue;
    }
    out += length;
    out += *p;
  }
  return out;
}

MTAPIRES formatJournalText(const wchar_t* format, va_list args, std::string& text) {
  if (!format) return mtret::InvalidParams;
  const auto standard = toStandardWideFormat(format);
  if (!standard) return mtret::InvalidParams;
  std::vector<wchar_t> buffer(512);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int written = std::vswprintf(buffer.data(), buffer.size(), standard->c_str(), copy);
    va_end(copy);
    if (written >= 0) {
      text = narrow(std::wstring_view(buffer.data(), static_cast<size_t>(written)));
      return mtret::Ok;
    }
    // vswprintf gives no size hint: grow until it fits or is plainly unusable.
    if (buffer.size() >= kMaxEntryChars) return mtret::InvalidParams;
    buffer.resize(buffer.size() * 4);
  }
}

MTAPIRES appendJournalLine(const std::string& path, uint32_t type, const std::string& text) {
  std::string line = localTimestamp(nowEpochMs()) + "\t" + std::to_string(type) + "\t";
  line.reserve(line.size() + text.size() + 1);
  for (char c : text) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
  line += '\n';
  FileDescriptor fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return mtret::Error;
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return mtret::Error;
  }
  const bool ok = writeAll(fd.get(), line);
  flock(fd.get(), LOCK_UN);
  return ok ? mtret::Ok : mtret::Error;
}

}  // namespace tradesim
