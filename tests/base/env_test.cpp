#include "base/env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage.h"
#include "support/printers.h"
#include "support/sandbox.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#endif

namespace pellucor {
namespace {

// A fresh directory per test. What landed on disk is read with std::filesystem, independent of
// the code under test; names are given in UTF-8.
class WriteBytesToFileTest : public ::testing::Test {
 protected:
  static std::filesystem::path Utf8Name(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  }
  GbkText GbkPath(const std::string& utf8Name) const {
    return GbkText(sandbox_ / Utf16ToGbk(Utf8ToUtf16(utf8Name)));
  }
  std::string Content(const std::string& utf8Name) const {
    std::ifstream in(sandbox_.fs() / Utf8Name(utf8Name), std::ios::binary);
    EXPECT_TRUE(in) << utf8Name;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The names in the directory (or in a directory inside it), sorted.
  std::vector<std::string> Names(const std::string& utf8Sub = "") const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(sandbox_.fs() / Utf8Name(utf8Sub))) {
      const std::u8string n = e.path().filename().u8string();
      names.emplace_back(n.begin(), n.end());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  const testing::Sandbox sandbox_{"env"};
};

TEST_F(WriteBytesToFileTest, WritesTheBuffersInOrder) {
  const ByteBuffer zeros(std::string("\0\x01\0", 3));
  struct Case {
    std::vector<ByteBuffer> buffers;
    std::string want;
  };
  const Case cases[] = {
      {{ByteBuffer(std::string("d8:announce"))}, "d8:announce"},
      {{ByteBuffer(std::string("ab")), ByteBuffer(), zeros, ByteBuffer(std::string("c"))},
       std::string("ab\0\x01\0c", 6)},
      {{ByteBuffer()}, ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "case" + std::to_string(i++) + ".torrent";
    bool ok = false;
    if (c.buffers.size() == 1) {
      ok = WriteBytesToFile(GbkPath(name), c.buffers[0]);
    } else {
      ok = WriteBytesToFile(GbkPath(name), c.buffers[0], c.buffers[1], c.buffers[2], c.buffers[3]);
    }
    EXPECT_TRUE(ok) << name;
    EXPECT_EQ(Content(name), c.want) << name;
  }
  EXPECT_EQ(Names().size(), 3u);  // no temporary files left behind
}

TEST_F(WriteBytesToFileTest, ReplacesALongerFileWithExactlyTheNewBytes) {
  ASSERT_TRUE(WriteBytesToFile(GbkPath("t.torrent"), ByteBuffer(std::string(5000, 'x'))));
  ASSERT_TRUE(WriteBytesToFile(GbkPath("t.torrent"), ByteBuffer(std::string("new"))));
  EXPECT_EQ(Content("t.torrent"), "new");
  EXPECT_EQ(Names(), std::vector<std::string>{"t.torrent"});
}

TEST_F(WriteBytesToFileTest, ChineseNamesReachTheDiskAsNativeNames) {
  // The name is GBK inside the program and the system's own encoding on disk.
  const std::string name = reinterpret_cast<const char*>(u8"种子[测试].torrent");
  ASSERT_TRUE(WriteBytesToFile(GbkPath(name), ByteBuffer(std::string("d4:infod"))));
  EXPECT_EQ(Content(name), "d4:infod");
  EXPECT_EQ(Names(), std::vector<std::string>{name});
}

TEST_F(WriteBytesToFileTest, FailuresGiveFalseAndLeaveNothingBehind) {
  EXPECT_FALSE(WriteBytesToFile("", ByteBuffer(std::string("x"))));
  // The target is a directory: the final rename fails.
  std::filesystem::create_directory(sandbox_.fs() / "sub");
  EXPECT_FALSE(WriteBytesToFile(GbkPath("sub"), ByteBuffer(std::string("x"))));
  // The directory does not exist.
  EXPECT_FALSE(WriteBytesToFile(GbkPath("missing/x.torrent"), ByteBuffer(std::string("x"))));
  EXPECT_EQ(Names(), std::vector<std::string>{"sub"});
  EXPECT_TRUE(Names("sub").empty());
}

#if !defined(_WIN32)
// A write that fails part-way (here: the file-size limit) keeps the old file intact.
TEST_F(WriteBytesToFileTest, FailedWriteKeepsTheOldFile) {
  ASSERT_TRUE(WriteBytesToFile(GbkPath("t.torrent"), ByteBuffer(std::string("old"))));
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &old);
  rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool ok = WriteBytesToFile(GbkPath("t.torrent"), ByteBuffer(std::string(5000, 'x')));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Content("t.torrent"), "old");
  EXPECT_EQ(Names(), std::vector<std::string>{"t.torrent"});
}
#endif

#if !defined(_WIN32)
// Where torrents go when the run directory is not writable: the download directory the user's
// user-dirs.dirs names (as xdg-user-dirs writes it), else ~/Downloads; made when missing.
TEST(Env, UserDownloadDirectoryFollowsUserDirs) {
  const testing::Sandbox sandbox("downloads");
  const std::string home = (sandbox.fs() / "home").string();
  const std::string config = (sandbox.fs() / "config").string();
  std::filesystem::create_directories(config);
  const std::string elsewhere = (sandbox.fs() / "elsewhere").string();
  const std::string xiazai = "\xE4\xB8\x8B\xE8\xBD\xBD";  // "下载" in UTF-8
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  const struct {
    std::optional<std::string> userDirs;  // none: no such file
    std::string expected;
  } cases[] = {
      {std::nullopt, home + "/Downloads"},
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/" + xiazai + "\"\n",
       home + "/" + xiazai},
      {"XDG_DOWNLOAD_DIR=\"$HOME\"\n", home},
      {"XDG_DOWNLOAD_DIR=\"" + elsewhere + "\"", elsewhere},
      {"XDG_DOWNLOAD_DIR=\"relative\"\n", home + "/Downloads"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/unterminated\n", home + "/Downloads"},
      {"# XDG_DOWNLOAD_DIR=\"$HOME/commented\"\n", home + "/Downloads"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.userDirs.value_or("(none)"));
    std::filesystem::remove(config + "/user-dirs.dirs");
    if (c.userDirs) std::ofstream(config + "/user-dirs.dirs") << *c.userDirs;
    std::filesystem::remove_all(home);
    std::filesystem::remove_all(elsewhere);
    EXPECT_EQ(GbkToUtf8(UserDownloadDirectory().view()), c.expected);
    EXPECT_TRUE(std::filesystem::is_directory(c.expected)) << "made when missing";
  }
  ::setenv("HOME", savedHome.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
}
#endif

TEST(Env, RunDirectoryIsTheProgramsDirectory) {
  const GbkText dir = RunDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(RightPart(dir, 1), GbkText(kPathSeparator));
  EXPECT_EQ(dir, GbkText(PELLUCOR_TEST_PROGRAM_DIR));
}

// The converter keeps its DHT state here. Each row sets the environment variables the rule
// reads (nullptr: unset; values are GBK, as the program's text) and expects the directory, or
// nothing.
TEST(Env, UserCacheDirectoryFollowsTheEnvironment) {
  struct Row {
    std::vector<std::pair<std::string, const char*>> environment;
    std::string expected;
  };
#if defined(_WIN32)
  const std::vector<Row> rows = {
      {{{"LOCALAPPDATA", "C:\\Users\\张三\\AppData\\Local"}},
       "C:\\Users\\张三\\AppData\\Local\\Pellucor"},
      {{{"LOCALAPPDATA", nullptr}}, ""},
  };
  using Native = std::wstring;
  auto set = [](const std::string& name, const std::optional<Native>& value) {
    SetEnvironmentVariableW(Wide(GbkText(name)).c_str(), value ? value->c_str() : nullptr);
  };
  auto native = [](const char* value) { return Wide(GbkText(value)); };
  auto get = [](const std::string& name) -> std::optional<Native> {
    wchar_t buf[4096];
    const DWORD n = GetEnvironmentVariableW(Wide(GbkText(name)).c_str(), buf, 4096);
    return n == 0 || n >= 4096 ? std::nullopt : std::optional<Native>(Native(buf, n));
  };
#else
  const std::vector<Row> rows = {
      {{{"XDG_CACHE_HOME", "/home/张三/.cache-x"}, {"HOME", "/home/张三"}},
       "/home/张三/.cache-x/pellucor"},
      // a relative XDG_CACHE_HOME is not one (the XDG rule)
      {{{"XDG_CACHE_HOME", "cache"}, {"HOME", "/home/张三"}}, "/home/张三/.cache/pellucor"},
      {{{"XDG_CACHE_HOME", nullptr}, {"HOME", "/home/张三"}}, "/home/张三/.cache/pellucor"},
      {{{"XDG_CACHE_HOME", nullptr}, {"HOME", nullptr}}, ""},
  };
  using Native = std::string;  // UTF-8
  auto set = [](const std::string& name, const std::optional<Native>& value) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  };
  auto native = [](const char* value) { return GbkToUtf8(value); };
  auto get = [](const std::string& name) -> std::optional<Native> {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<Native>(value) : std::nullopt;
  };
#endif
  for (const Row& row : rows) {
    std::vector<std::pair<std::string, std::optional<Native>>> saved;
    for (const auto& [name, value] : row.environment) {
      saved.emplace_back(name, get(name));
      set(name, value ? std::optional<Native>(native(value)) : std::nullopt);
    }
    EXPECT_EQ(UserCacheDirectory(), GbkText(row.expected)) << row.environment[0].first;
    for (const auto& [name, value] : saved) set(name, value);
  }
}

TEST(Env, ThreadsRunTheRoutineWithItsParameter) {
  std::atomic<intptr_t> detached{0};
  ASSERT_TRUE(StartThread([&](intptr_t p) { detached = p; }, 42));
  ThreadHandle handle;
  intptr_t joined = 0;
  ASSERT_TRUE(StartThread([&](intptr_t p) { joined = p; }, 0, &handle));
  EXPECT_TRUE(handle.Join());
  EXPECT_EQ(joined, 0);  // the default parameter
  EXPECT_FALSE(handle.Join());
  for (int i = 0; i < 500 && detached != 42; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(detached, 42);
}

TEST(Env, TickCountAdvancesInMilliseconds) {
  const uint32_t t0 = TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const uint32_t elapsed = TickCount() - t0;
  EXPECT_GE(elapsed, 80u);
  EXPECT_LT(elapsed, 60000u);
}

}  // namespace
}  // namespace pellucor
