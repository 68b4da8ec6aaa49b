// The Windows program's window, under Wine with a display: the window's scenarios
// (window_scenarios.cpp) through a driver that sends the controls the messages a click or
// typing sends them (BM_CLICK, WM_SETTEXT, the mouse's) and reads them with theirs, and what
// only Windows has.
#include <gtest/gtest.h>

#include "window_driver_win32.h"

namespace pellucor {
namespace {

using testing::Win32Driver;

class Win32WindowTest : public testing::WindowTest {};

TEST_F(Win32WindowTest, TheWindowCannotBeResized) {
  Open();
  const HWND top = Win32Driver(GetCurrentProcessId()).Top();
  ASSERT_TRUE(top);
  EXPECT_EQ(GetWindowLongW(top, GWL_STYLE) & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
}

// An advert whose link is a program: a click runs nothing.
TEST_F(Win32WindowTest, AnAdvertLinkToAProgramIsNotRun) {
  Open("C:\\windows\\notepad.exe");
  ASSERT_TRUE(RunUntil([this] { return toolkit->IsVisible(k图片框1); })) << "no advert";
  driver->Click(k图片框1);
  RunUntil([] { return false; }, 1000);
  EXPECT_EQ(FindWindowW(L"Notepad", nullptr), nullptr) << "the advert link was run";
}

}  // namespace

std::shared_ptr<Toolkit> testing::TestToolkit() {
  static int argc = 1;
  static char arg0[] = "test";
  static char* argv[] = {arg0, nullptr};
  return NewToolkit(argc, argv);
}

std::unique_ptr<testing::WindowDriver> testing::NewWindowDriver() {
  return std::make_unique<Win32Driver>(GetCurrentProcessId());
}

}  // namespace pellucor
