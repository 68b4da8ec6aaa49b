// The one temporary directory of a test: made fresh under the system's temporary directory
// (TMPDIR on Linux; GetTempPathW on Windows, inside the prefix under Wine) as
// "pellucor-WHAT-<tick>-<random>-<n>", a name no other program or run uses (process ids repeat
// under Wine, and programs that ctest starts side by side share their tick), and removed with
// everything in it when the object goes. A directory that cannot be made or removed fails the
// test.
//   testing::Sandbox box("routes");
//   RunFirstRoute(view, box.path(), host);          // the path as the program takes paths
//   std::ifstream(box.fs() / "1437.torrent");        // checks on their own file access
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <thread>  // also std::chrono durations; <chrono> itself needs UTF-8 literals

#include "base/codepage.h"
#include "base/env.h"
#if defined(_WIN32)
#include "base/utility_win32.h"
#endif

namespace pellucor::testing {

class Sandbox {
 public:
  explicit Sandbox(const std::string& what) {
    static std::atomic<int> n{0};
    static const unsigned salt = std::random_device{}();
    std::error_code ec;
    const std::filesystem::path root = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
      const std::filesystem::path dir =
          root / ("pellucor-" + what + "-" + std::to_string(TickCount()) + "-" +
                  std::to_string(salt) + "-" + std::to_string(n++));
      if (std::filesystem::create_directory(dir, ec)) dir_ = dir;
    }
    if (dir_.empty()) ADD_FAILURE() << "no temporary directory under " << root.string();
#if defined(_WIN32)
    path_ = Narrow(dir_.native()).str();
#else
    path_ = Utf16ToGbk(Utf8ToUtf16(dir_.native()));
#endif
  }

  ~Sandbox() {
    if (dir_.empty()) return;
    // Windows may still hold a file that was just closed (or a program that just ended).
    std::error_code ec;
    for (int attempt = 0; attempt < 20; ++attempt) {
      std::filesystem::remove_all(dir_, ec);
      if (!std::filesystem::exists(dir_, ec)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "cannot remove " << dir_.string() << ": " << ec.message();
  }

  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The directory as GBK text, the way the program's code takes paths.
  const std::string& path() const {
    return path_;
  }
  // A name inside it, GBK: path() + kPathSeparator + name.
  std::string operator/(const std::string& name) const {
    return path_ + kPathSeparator + name;
  }
  // The directory for the test's own checks, independent of the code under test.
  const std::filesystem::path& fs() const {
    return dir_;
  }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

}  // namespace pellucor::testing
