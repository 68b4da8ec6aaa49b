// Environment services on POSIX systems. File names are UTF-8 here.
#if defined(_WIN32)
#error "env_posix.cpp is the POSIX back end; the Windows build uses env_win32.cpp"
#endif

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/codepage.h"
#include "base/env.h"
#include "base/runtime_fault.h"

namespace pellucor {

const char kPathSeparator[] = "/";
const char kUserCacheDirectoryShown[] = "~/.cache/pellucor";

void PresentFaultOnPlatform(const GbkText& text) {
  WriteFaultToStderr(text);
}

namespace {

GbkText FromFileName(std::string_view utf8) {
  return GbkText(Utf8ToGbk(utf8));
}

// A file descriptor, closed when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { Close(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false when the close reported an error (bytes that never reached the file).
  bool Close() {
    const bool ok = fd_ < 0 || ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

GbkText RunDirectory() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const size_t slash = buf.rfind('/');
  return FromFileName(slash == std::string::npos ? std::string_view()
                                                 : std::string_view(buf).substr(0, slash));
}

namespace {

// XDG_DOWNLOAD_DIR from user-dirs.dirs: a line XDG_DOWNLOAD_DIR="$HOME/Downloads" (a path that
// starts with $HOME/ or is absolute, as xdg-user-dirs writes it); empty when there is none.
std::string DownloadDirFromUserDirs(const std::string& home) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string file =
      (config && *config ? std::string(config) : home + "/.config") + "/user-dirs.dirs";
  const std::optional<ByteBuffer> bytes = ReadBytesFromFile(FromFileName(file));
  if (!bytes) return {};
  std::string_view text = bytes->view();
  constexpr std::string_view kKey = "XDG_DOWNLOAD_DIR=\"";
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.rfind(kKey, 0) != 0) continue;
    line.remove_prefix(kKey.size());
    const size_t quote = line.find('"');
    if (quote == std::string_view::npos) return {};
    const std::string_view value = line.substr(0, quote);
    if (value.rfind("$HOME/", 0) == 0) return home + std::string(value.substr(5));
    if (value == "$HOME") return home;
    if (!value.empty() && value[0] == '/') return std::string(value);
    return {};
  }
  return {};
}

}  // namespace

GbkText SaveDirectory() {
  const GbkText run = RunDirectory();
  if (::access(run.empty() ? "/" : GbkToUtf8(run.view()).c_str(), W_OK) == 0) return run;
  const GbkText downloads = UserDownloadDirectory();
  return downloads.empty() ? run : downloads;
}

GbkText UserDownloadDirectory() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return {};
  std::string downloads = DownloadDirFromUserDirs(home);
  if (downloads.empty()) downloads = std::string(home) + "/Downloads";
  const GbkText dir = FromFileName(downloads);
  CreateDirectories(dir);
  return dir;
}

GbkText UserCacheDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && cache[0] == '/') return FromFileName(std::string(cache) + "/pellucor");
  const char* home = std::getenv("HOME");
  if (home && *home) return FromFileName(std::string(home) + "/.cache/pellucor");
  return {};
}

bool ChangeCurrentDirectory(const GbkText& dir) {
  return !dir.empty() && ::chdir(GbkToUtf8(dir.view()).c_str()) == 0;
}

namespace {

// Writes the buffers to a new temporary file beside `target` (".pellucor-PID-N.part": a short
// name that no other writer uses, so it fits the file system whatever the target's length),
// synced to disk. Its name, or nothing when it could not be written (then it is gone).
std::optional<std::string> WriteTemporaryFile(const std::string& target,
                                              std::initializer_list<ByteBuffer> buffers) {
  static std::atomic<unsigned> sequence{0};
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = dir + ".pellucor-" + std::to_string(::getpid()) + "-" + std::to_string(sequence++) +
           ".part";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return std::nullopt;
  }
  if (fd < 0) return std::nullopt;

  ScopedFd file(fd);
  // A replaced file keeps its permission bits, as it would when truncated in place.
  struct stat st;
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    ::fchmod(file.get(), st.st_mode & 07777);

  bool ok = true;
  for (const ByteBuffer& b : buffers)
    if (ok && b.size() > 0) ok = WriteAll(file.get(), b.view());
  ok = ok && ::fsync(file.get()) == 0;
  ok = file.Close() && ok;
  if (!ok) {
    ::unlink(temp.c_str());
    return std::nullopt;
  }
  return temp;
}

}  // namespace

bool WriteBytesToFile(const GbkText& path, std::initializer_list<ByteBuffer> buffers) {
  if (path.empty()) return false;
  const std::string target = GbkToUtf8(path.view());
  const std::optional<std::string> temp = WriteTemporaryFile(target, buffers);
  if (!temp) return false;
  if (::rename(temp->c_str(), target.c_str()) == 0) return true;
  ::unlink(temp->c_str());
  return false;
}

NewFileResult WriteNewFile(const GbkText& path, const ByteBuffer& bytes) {
  if (path.empty()) return NewFileResult::Failed;
  const std::string target = GbkToUtf8(path.view());
  if (::access(target.c_str(), F_OK) == 0) return NewFileResult::Exists;
  const std::optional<std::string> temp = WriteTemporaryFile(target, {bytes});
  if (!temp) return NewFileResult::Failed;
  // The whole file appears under its name in one step, and only where nothing stands yet: two
  // writers racing for one name (threads or processes) cannot both win.
  int moved = ::renameat2(AT_FDCWD, temp->c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without that rename: a hard link is just as exclusive.
    moved = ::link(temp->c_str(), target.c_str());
    if (moved == 0 || errno != EEXIST) ::unlink(temp->c_str());
    if (moved == 0) return NewFileResult::Written;
  }
  if (moved == 0) return NewFileResult::Written;
  const bool exists = errno == EEXIST;
  ::unlink(temp->c_str());
  return exists ? NewFileResult::Exists : NewFileResult::Failed;
}

bool PathExists(const GbkText& path) {
  struct stat st;
  return !path.empty() && ::stat(GbkToUtf8(path.view()).c_str(), &st) == 0;
}

bool CreateDirectories(const GbkText& path) {
  if (path.empty()) return false;
  const std::string p = GbkToUtf8(path.view());
  // Each leading part in turn; one that exists already makes mkdir fail, which is fine.
  for (size_t slash = p.find('/', 1); slash != std::string::npos; slash = p.find('/', slash + 1))
    ::mkdir(p.substr(0, slash).c_str(), 0777);
  ::mkdir(p.c_str(), 0777);
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<ByteBuffer> ReadBytesFromFile(const GbkText& path) {
  if (path.empty()) return std::nullopt;
  const ScopedFd file(::open(GbkToUtf8(path.view()).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  return ByteBuffer(std::move(bytes));
}

void EndProcess(int exitCode) {
  std::fflush(nullptr);
  _exit(exitCode);
}

uint32_t TickCount() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace pellucor
