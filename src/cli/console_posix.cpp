// The standard streams on POSIX systems: UTF-8 in and out.
#if defined(_WIN32)
#error "console_posix.cpp is the POSIX back end; the Windows build uses console_win32.cpp"
#endif

#include <errno.h>
#include <unistd.h>

#include "base/codepage.h"
#include "cli/console.h"

namespace pellucor {

const char kLineEnd[] = "\n";

namespace {

int Descriptor(StandardStream stream) {
  return stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

std::vector<Argument> CommandLineArguments(int argc, char** argv) {
  std::vector<Argument> args;
  for (int i = 1; i < argc; ++i) args.push_back(TextFromUserBytes(argv[i]));
  return args;
}

bool IsTerminal(StandardStream stream) {
  return ::isatty(Descriptor(stream)) == 1;
}

void WriteUtf8(StandardStream stream, std::string_view utf8) {
  const std::string bytes = WithPlatformLineEnds(utf8);
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t n = ::write(Descriptor(stream), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed pipe: nothing more can be said
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

std::optional<std::string> ReadStandardInput() {
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    bytes.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace pellucor
