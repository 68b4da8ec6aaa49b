// The window's scenarios, one table for both toolkits (window_scenarios.cpp): the real
// MainWindow on the fake services, driven by each toolkit's test program through a
// WindowDriver of its own means (Qt: QTest's clicks and typing on the widgets; Win32: the
// controls' messages, as a click or typing sends them). What the window shows is read from the
// controls themselves, not through the toolkit under test. The scenarios are compiled with GBK
// literals in both programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/main_window.h"
#include "support/fake_http_server.h"
#include "support/sandbox.h"

namespace pellucor::testing {

class WindowDriver {
 public:
  virtual ~WindowDriver() = default;

  // What a control shows: GBK, line breaks "\r\n" whatever the toolkit's own.
  virtual GbkText Text(ControlId id) = 0;
  // Puts the user's own text in an edit box.
  virtual void SetText(ControlId id, const GbkText& text) = 0;
  // Types `text` into an edit box in place of what it holds.
  virtual void Type(ControlId id, const GbkText& text) = 0;
  // Selects the characters [from, to) of an edit box; the caret goes to `to`.
  virtual void Select(ControlId id, int from, int to) = 0;
  // A left click on the control, handled before it returns.
  virtual void Click(ControlId id) = 0;
  // A click on a button that waits among the window's events until it next handles them.
  virtual void QueueClick(ControlId id) = 0;
  // The clipboard holds `text`, or nothing.
  virtual void SetClipboard(const std::optional<GbkText>& text) = 0;
  virtual GbkText Title() = 0;
  // The colour a control shows at (x, y) of its client area: 0xRRGGBB.
  virtual uint32_t Pixel(ControlId id, int x, int y) = 0;
  // Adds one message to an edit box by the box's own steps for one text: caret to the end,
  // scrolled there, the text inserted.
  virtual void AppendOnItsOwn(ControlId id, const GbkText& message) = 0;
  // An edit box as the user sees it: its text, caret and selection, and how it is scrolled.
  virtual std::string View(ControlId id) = 0;

  // From another thread, while the window's thread runs a request:
  // What a control shows, asked of the window's own thread; nothing when that thread did not
  // answer within `ms` milliseconds (it handles no messages).
  virtual std::optional<GbkText> TextFromAnotherThread(ControlId id, int ms) = 0;
  // A click on a button queued as the user's would be; false where the toolkit under test
  // offers no means to queue input from another thread (Qt's offscreen platform).
  virtual bool QueueUserClick(ControlId id) = 0;
  // Whether the system takes the window for hung; nothing where it has no such notion.
  virtual std::optional<bool> Hung() = 0;
};

// Defined by each toolkit's test program: the toolkit a test's window is built on (Qt: one for
// the whole program, as Qt allows one application), and a driver for the window it shows.
std::shared_ptr<Toolkit> TestToolkit();
std::unique_ptr<WindowDriver> NewWindowDriver();

// The window of one test. Members go in reverse: the driver, the window, the services, then
// the toolkit.
class WindowTest : public ::testing::Test {
 public:
  // Opens the window on the fake services; with `advertLink`, the publisher's site offers an
  // animated advert with that link from the start.
  void Open(const char* advertLink = nullptr);
  void TearDown() override;
  // Lets the window handle its events until `done`, for at most `ms` milliseconds.
  bool RunUntil(const std::function<bool()>& done, int ms = 10000);

  std::shared_ptr<Toolkit> toolkit = TestToolkit();
  FakeHttpServer server;  // both conversion services
  FakeHttpServer site;    // the publisher's site: 404 for everything unless a test sets it up
  Sandbox sandbox{"app"};
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<WindowDriver> driver;
};

}  // namespace pellucor::testing
