#include "support/DailyLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "support/Console.h"

namespace {

constexpr const char* kLogDir = "../log";

bool writeWhole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Which file a path or descriptor names. Only the inode number is asked
// for: a stat that also reads the times makes the kernel (multigrain
// timestamps) give the next write a fine-grained time and update the inode
// on every entry, which took as long as the write itself.
struct FileIdentity {
  unsigned devMajor = 0;
  unsigned devMinor = 0;
  uint64_t inode = 0;

  // dir is AT_FDCWD with a path, or a descriptor with "" and AT_EMPTY_PATH.
  static bool of(int dir, const char* path, int flags, FileIdentity& identity) {
    struct statx found {};
    if (::statx(dir, path, flags | AT_STATX_DONT_SYNC, STATX_INO, &found) != 0) return false;
    if ((found.stx_mask & STATX_INO) == 0) return false;
    identity = {found.stx_dev_major, found.stx_dev_minor, found.stx_ino};
    return true;
  }
  bool operator==(const FileIdentity& other) const {
    return devMajor == other.devMajor && devMinor == other.devMinor && inode == other.inode;
  }
};

// The day's file, open between entries. Before each entry the path is looked
// up again: when it names no file, or another file than the open one (moved,
// deleted, replaced, another working directory, another day), the file at the
// path is opened, and created when missing.
class DayFile {
 public:
  // Appends the bytes whole with write(2): they are in the file when this
  // returns. False when the file cannot be opened or written.
  bool append(const char* path, const char* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);  // entries never interleave
    if (!isOpenAt(path) && !open(path)) return false;
    if (writeWhole(fd_, data, size)) return true;
    close();  // the next entry tries a fresh file
    return false;
  }

 private:
  bool isOpenAt(const char* path) const {
    if (fd_ < 0 || std::strcmp(path, path_.c_str()) != 0) return false;
    FileIdentity atPath;
    return FileIdentity::of(AT_FDCWD, path, 0, atPath) && atPath == identity_;
  }

  bool open(const char* path) {
    close();
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(path, flags, 0666);
    if (fd < 0 && errno == ENOENT) {
      ::mkdir(kLogDir, 0777);  // a failure shows in the second open
      fd = ::open(path, flags, 0666);
    }
    if (fd < 0) return false;
    if (!FileIdentity::of(fd, "", AT_EMPTY_PATH, identity_)) {
      ::close(fd);
      return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::mutex mutex_;
  int fd_ = -1;
  FileIdentity identity_;
  std::string path_;
};

// Never destroyed: destructors of other statics may still log at exit, and
// the descriptor closes with the process.
DayFile& dayFile() {
  static DayFile* const file = new DayFile;
  return *file;
}

// "YYYY-MM-DD hh:mm:ss " and the message, formatted before the lock is
// taken; entries up to the stack buffer's size need no allocation.
class EntryText {
 public:
  __attribute__((format(printf, 3, 0))) EntryText(const std::tm& local, const char* format, va_list args) {
    const int stamp = std::snprintf(stack_, sizeof stack_, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900,
                                    local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (stamp < 0) return;
    const auto stampSize = static_cast<std::size_t>(stamp);
    va_list again;
    va_copy(again, args);
    messageLength_ = std::vsnprintf(stack_ + stampSize, sizeof stack_ - stampSize, format, args);
    if (messageLength_ >= 0) {
      size_ = stampSize + static_cast<std::size_t>(messageLength_);
      if (size_ >= sizeof stack_) {  // cut short: format again into a buffer that fits
        heap_.resize(size_ + 1);
        std::memcpy(heap_.data(), stack_, stampSize);
        std::vsnprintf(heap_.data() + stampSize, heap_.size() - stampSize, format, again);
        heap_.resize(size_);
      }
    }
    va_end(again);
  }
  EntryText(const EntryText&) = delete;
  EntryText& operator=(const EntryText&) = delete;

  // The message's length, negative when it could not be formatted.
  int messageLength() const { return messageLength_; }
  const char* data() const { return heap_.empty() ? stack_ : heap_.data(); }
  std::size_t size() const { return size_; }

 private:
  char stack_[4096];
  std::string heap_;
  int messageLength_ = -1;
  std::size_t size_ = 0;
};

}  // namespace

namespace dailylog_detail {

int vwriteLogAt(std::time_t now, const char* format, va_list args) {
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return -1;

  char path[200];
  std::snprintf(path, sizeof path, "%s/log-%04d-%02d-%02d.log", kLogDir, local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);

  const EntryText entry(local, format, args);
  if (entry.messageLength() < 0) return -1;  // nothing of a broken entry is written
  if (!dayFile().append(path, entry.data(), entry.size())) return -1;
  return entry.messageLength();
}

int writeLogAt(std::time_t now, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = vwriteLogAt(now, format, args);
  va_end(args);
  return result;
}

}  // namespace dailylog_detail

int writeLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = dailylog_detail::vwriteLogAt(std::time(nullptr), format, args);
  va_end(args);
  return result;
}

void tellLine(const std::string& line) {
  consolePrint("%s\n", line.c_str());
  writeLog("%s\n", line.c_str());
}
