#include "base/runtime_fault.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "base/codepage.h"

namespace pellucor {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

#if defined(_WIN32)
constexpr int kFaultExitCode = -1;
#else
constexpr int kFaultExitCode = 255;  // -1 as the low eight bits of a POSIX exit status
#endif

// What the fault shows, as it reaches standard error in the tests (UTF-8).
std::string Shown(std::optional<int32_t> code, const GbkText& message) {
  return GbkToUtf8(RuntimeFaultText(code, message).view());
}

TEST(RuntimeFault, MessageText) {
  struct Case {
    std::optional<int32_t> code;
    GbkText message;
    GbkText want;
  };
  const Case cases[] = {
      {4, "数组成员引用下标必须大于等于1",
       "运行时出错!\r\n\r\n错误代码：4\r\n\r\n错误信息：数组成员引用下标必须大于等于1\r\n"},
      {{}, "载入启动窗口失败", "运行时出错!\r\n\r\n错误信息：载入启动窗口失败\r\n"},
      {-7, "", "运行时出错!\r\n\r\n错误代码：-7\r\n\r\n"},
      {{}, "", "运行时出错!\r\n\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(RuntimeFaultText(c.code, c.message), c.want);
}

void AtExitMarker() {
  std::fputs("EXIT-ROUTINE-RAN", stderr);
}

TEST(RuntimeFaultDeathTest, ArrayIndexBelowOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const TextArray a{"x"};
  EXPECT_EXIT(
      {
        SetFaultPresenter(WriteFaultToStderr);
        (void)a[0];
      },
      ::testing::ExitedWithCode(kFaultExitCode),
      HasSubstr(Shown(4, "数组成员引用下标必须大于等于1")));
}

TEST(RuntimeFaultDeathTest, ArrayIndexAboveCount) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const TextArray a{"x"};
  EXPECT_EXIT(
      {
        SetFaultPresenter(WriteFaultToStderr);
        (void)Element(a, 2);
      },
      ::testing::ExitedWithCode(kFaultExitCode),
      HasSubstr(Shown(1, "数组成员引用下标超出定义范围")));
}

TEST(RuntimeFaultDeathTest, ExitRoutineDoesNotRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetFaultPresenter(WriteFaultToStderr);
        std::atexit(AtExitMarker);
        RuntimeFault({}, "载入启动窗口失败");
      },
      ::testing::ExitedWithCode(kFaultExitCode),
      AllOf(HasSubstr(Shown({}, "载入启动窗口失败")), Not(HasSubstr("EXIT-ROUTINE-RAN"))));
}

TEST(RuntimeFaultDeathTest, FailedAllocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const size_t huge = std::numeric_limits<size_t>::max() / 2;
  const std::string message = "分配 " + std::to_string(huge) + " 字节内存失败!";
  EXPECT_EXIT(
      {
        SetFaultPresenter(WriteFaultToStderr);
        void* volatile p = ::operator new(huge);
        (void)p;
      },
      ::testing::ExitedWithCode(kFaultExitCode), HasSubstr(Shown({}, GbkText(message))));
  // Where a refusal is one request's failure, the same allocation throws and the program goes
  // on; outside the scope the rule is back.
  {
    FallibleAllocations fallible;
    EXPECT_THROW(::operator delete(::operator new(huge)), std::bad_alloc);
  }
  EXPECT_EXIT(
      {
        SetFaultPresenter(WriteFaultToStderr);
        { FallibleAllocations fallible; }
        void* volatile p = ::operator new(huge);
        (void)p;
      },
      ::testing::ExitedWithCode(kFaultExitCode), HasSubstr(Shown({}, GbkText(message))));
}

}  // namespace
}  // namespace pellucor
