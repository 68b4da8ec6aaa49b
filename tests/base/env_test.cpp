#include "base/env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage.h"
#include "support/printers.h"
#include "support/unique_name.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pellucor {
namespace {

// File access for checking what landed on disk, by names given in UTF-8, independent of the
// code under test.
#if defined(_WIN32)
std::wstring Wide(const std::string& utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}
bool ReadFileUtf8(const std::string& utf8, std::string* out) {
  FILE* f = _wfopen(Wide(utf8).c_str(), L"rb");
  if (!f) return false;
  out->clear();
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}
void MakeDir(const std::string& utf8) {
  CreateDirectoryW(Wide(utf8).c_str(), nullptr);
}
std::vector<std::string> ListDir(const std::string& utf8) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(Wide(utf8 + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring w = fd.cFileName;
    const std::string n = Utf16ToUtf8(std::u16string(w.begin(), w.end()));
    if (n != "." && n != "..") names.push_back(n);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return names;
}
std::string TempRoot() {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, buf);
  std::wstring w(buf, n);
  if (!w.empty() && w.back() == L'\\') w.pop_back();
  return Utf16ToUtf8(std::u16string(w.begin(), w.end())) + "\\pellucor-env-test-" +
         testing::UniqueSuffix();
}
#else
bool ReadFileUtf8(const std::string& utf8, std::string* out) {
  FILE* f = std::fopen(utf8.c_str(), "rb");
  if (!f) return false;
  out->clear();
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  std::fclose(f);
  return true;
}
void MakeDir(const std::string& utf8) {
  ::mkdir(utf8.c_str(), 0777);
}
std::vector<std::string> ListDir(const std::string& utf8) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(utf8.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}
std::string TempRoot() {
  return "/tmp/pellucor-env-test-" + testing::UniqueSuffix();
}
#endif

// A fresh directory per test; its path in UTF-8 (for checks) and in GBK (for the code).
class WriteBytesToFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int n = 0;
    dir_ = TempRoot() + "-" + std::to_string(n++);
    MakeDir(dir_);
  }
  std::string Utf8Path(const std::string& utf8Name) const {
    return dir_ + kPathSeparator + utf8Name;
  }
  GbkText GbkPath(const std::string& utf8Name) const {
    return GbkText(Utf16ToGbk(Utf8ToUtf16(Utf8Path(utf8Name))));
  }
  std::string Content(const std::string& utf8Name) const {
    std::string s;
    EXPECT_TRUE(ReadFileUtf8(Utf8Path(utf8Name), &s)) << utf8Name;
    return s;
  }
  std::string dir_;
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
  EXPECT_EQ(ListDir(dir_).size(), 3u);  // no temporary files left behind
}

TEST_F(WriteBytesToFileTest, ReplacesALongerFileWithExactlyTheNewBytes) {
  ASSERT_TRUE(WriteBytesToFile(GbkPath("t.torrent"), ByteBuffer(std::string(5000, 'x'))));
  ASSERT_TRUE(WriteBytesToFile(GbkPath("t.torrent"), ByteBuffer(std::string("new"))));
  EXPECT_EQ(Content("t.torrent"), "new");
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{"t.torrent"});
}

TEST_F(WriteBytesToFileTest, ChineseNamesReachTheDiskAsNativeNames) {
  // The name is GBK inside the program and the system's own encoding on disk.
  const std::string name = reinterpret_cast<const char*>(u8"种子[测试].torrent");
  ASSERT_TRUE(WriteBytesToFile(GbkPath(name), ByteBuffer(std::string("d4:infod"))));
  EXPECT_EQ(Content(name), "d4:infod");
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{name});
}

TEST_F(WriteBytesToFileTest, FailuresGiveFalseAndLeaveNothingBehind) {
  EXPECT_FALSE(WriteBytesToFile("", ByteBuffer(std::string("x"))));
  // The target is a directory: the final rename fails.
  MakeDir(Utf8Path("sub"));
  EXPECT_FALSE(WriteBytesToFile(GbkPath("sub"), ByteBuffer(std::string("x"))));
  // The directory does not exist.
  EXPECT_FALSE(WriteBytesToFile(GbkPath("missing/x.torrent"), ByteBuffer(std::string("x"))));
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{"sub"});
  EXPECT_TRUE(ListDir(Utf8Path("sub")).empty());
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
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{"t.torrent"});
}
#endif

TEST(Env, RunDirectoryIsTheProgramsDirectory) {
  const GbkText dir = RunDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(RightPart(dir, 1), GbkText(kPathSeparator));
  EXPECT_EQ(dir, GbkText(PELLUCOR_TEST_PROGRAM_DIR));
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
