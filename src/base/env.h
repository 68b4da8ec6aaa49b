// The environment: the program's directory, file writing, threads, the tick count.
// Paths are GBK text; each back end converts them at the file-system boundary (UTF-16 for the
// Windows wide API, UTF-8 for Linux file names).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

#include "base/text.h"

namespace pellucor {

// The separator to join a directory and a name with: "\\" on Windows, "/" elsewhere.
extern const char kPathSeparator[];

// The directory holding the program file, never with a trailing separator. At the root of a
// drive that is the drive alone ("C:"; on Linux the root gives ""), so callers always join
// with kPathSeparator + name.
GbkText RunDirectory();

// Where the window saves torrents: the run directory, as the program has always done, when the
// program may write there. Where it may not (a program installed under /usr/bin), the user's
// download directory (UserDownloadDirectory). On Windows the run directory.
GbkText SaveDirectory();
#ifndef _WIN32
// The user's download directory: XDG_DOWNLOAD_DIR of $XDG_CONFIG_HOME/user-dirs.dirs (what
// `xdg-user-dir DOWNLOAD` reads: "$HOME/…" or an absolute path), else ~/Downloads; made when
// missing. Empty without a HOME.
GbkText UserDownloadDirectory();
#endif

// The directory for the user's files the program may rebuild (the converter's DHT state):
// $XDG_CACHE_HOME/pellucor, else ~/.cache/pellucor; on Windows %LOCALAPPDATA%\Pellucor. Empty
// when the environment names no such place. Not created here.
GbkText UserCacheDirectory();
// That rule as a user reads it in a help text: "~/.cache/pellucor", "%LOCALAPPDATA%\Pellucor".
extern const char kUserCacheDirectoryShown[];

// Makes `dir` the process's current directory.
bool ChangeCurrentDirectory(const GbkText& dir);

// Writes the buffers, in order, as the whole content of the file at `path`, creating it or
// replacing an existing one. The bytes go to a temporary file in the target's directory
// (".pellucor-PID-N.part"), which is renamed over the target only after every byte is
// written: a failed write leaves the target as it was and removes the temporary file. An
// empty path gives false.
bool WriteBytesToFile(const GbkText& path, std::initializer_list<ByteBuffer> buffers);
template <typename... More>
bool WriteBytesToFile(const GbkText& path, const ByteBuffer& first, const More&... more) {
  return WriteBytesToFile(path, {first, more...});
}

// Writes `bytes` as a new file at `path`, never replacing anything: the file appears there
// whole (written through a temporary file as above), or not at all when something stands at
// `path` already — also when another thread or process creates it at the same moment.
enum class NewFileResult { Written, Exists, Failed };
NewFileResult WriteNewFile(const GbkText& path, const ByteBuffer& bytes);

// Whether something (a file or a directory) exists at `path`.
bool PathExists(const GbkText& path);

// Creates the directory at `path` and any missing directories above it. True when a directory
// stands at `path` afterwards (also when it was there before); false when something else
// stands there or a directory could not be made.
bool CreateDirectories(const GbkText& path);

// The whole content of the file at `path`; nothing when it cannot be read.
std::optional<ByteBuffer> ReadBytesFromFile(const GbkText& path);

// Milliseconds since an arbitrary start (system boot on Windows), wrapping at 2^32.
uint32_t TickCount();

// Ends the process with `exitCode` at once, after flushing the standard streams: other threads
// stop where they are and no exit-time destructors run. The program ends this way because a
// detached thread (the advert banner, waiting on a slow site) may still be using the libraries
// whose global state those destructors would tear down.
[[noreturn]] void EndProcess(int exitCode);

// A thread started with a handle variable; joins the thread when asked, and lets it run on
// detached when destroyed without a join.
class ThreadHandle {
 public:
  ThreadHandle();
  ~ThreadHandle();
  ThreadHandle(ThreadHandle&&) noexcept;
  ThreadHandle& operator=(ThreadHandle&&) noexcept;
  bool Join();  // false when there is no thread to wait for
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend bool StartThread(std::function<void(intptr_t)>, intptr_t, ThreadHandle*);
};

// Runs routine(parameter) on a new thread with the default stack size. Without a handle the
// thread runs detached until the routine returns. True when the thread was created.
bool StartThread(std::function<void(intptr_t)> routine, intptr_t parameter = 0,
                 ThreadHandle* handle = nullptr);

}  // namespace pellucor
