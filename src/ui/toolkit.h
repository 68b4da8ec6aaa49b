// The window toolkit seam: one window with controls created from a table, and the few
// operations the program performs on them. Back ends: ui/win32/ (raw Win32) and ui/qt/ (Qt 6).
// All text is GBK; each back end converts at its boundary.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "base/text.h"

namespace pellucor {

enum class ControlKind { Label, SuperBtn, EditBox, RadioBox, Button, DrawPanel, PicBox };

struct ControlSpec {
  const char* name;  // the form's name of the control
  ControlKind kind;
  int left, top, width, height;  // client coordinates, pixels
  const char* caption;
  int fontPixels;     // "微软雅黑" at this height
  bool hand = false;  // hand pointer over the control
  bool hidden = false;
  bool checked = false;    // a RadioBox checked at start
  bool multiline = false;  // an EditBox with word wrap and a vertical scroll bar
};

struct Rect {
  int left, top, width, height;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// Controls are named by their index in the table given to CreateMainWindow.
using ControlId = int;

class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // The window: fixed border, title bar with system menu and close button, no minimise or
  // maximise button, centred on the screen, client area clientWidth x clientHeight.
  virtual bool CreateMainWindow(const GbkText& caption, int clientWidth, int clientHeight,
                                const std::vector<ControlSpec>& controls) = 0;
  virtual void Show() = 0;
  virtual int RunMessageLoop() = 0;  // until the window is closed

  virtual GbkText Text(ControlId id) = 0;
  virtual void SetText(ControlId id, const GbkText& text) = 0;
  virtual bool IsChecked(ControlId id) = 0;
  virtual void SetVisible(ControlId id, bool visible) = 0;
  virtual bool IsVisible(ControlId id) = 0;
  virtual void SetSize(ControlId id, int width, int height) = 0;
  virtual Rect Geometry(ControlId id) = 0;
  virtual int ClientHeight() = 0;
  virtual void SetClientHeight(int height) = 0;
  // Shows a picture in a picture box, stretched to the box; an animated GIF plays its frames
  // in a loop. Bytes in no recognised format leave the box empty.
  virtual void SetPicture(ControlId id, const ByteBuffer& bytes) = 0;
  // Adds `texts` at the very end of an edit box in one edit, scrolls there, and keeps it out of
  // undo. The box's text and caret afterwards are what adding each text on its own would
  // give (each is converted on its own, so a lead byte that ends one text does not pair with
  // the next), but the box takes them in one go: a few thousand lines cost one edit, not a
  // few thousand.
  virtual void AppendText(ControlId id, const std::vector<GbkText>& texts) = 0;
  // A click: for buttons the button's click, for a picture box the release of the left
  // mouse button over it.
  virtual void OnClick(ControlId id, std::function<void()> handler) = 0;
  // Hands an address to the desktop's default browser.
  virtual void OpenUrl(const GbkText& url) = 0;

  virtual GbkText ClipboardText() = 0;
  // A modal box without owner; the caption defaults to "信息：". Returns the button pressed
  // (0 for OK).
  virtual int ShowMessageBox(const GbkText& text, int style = 0,
                             const GbkText& caption = "信息：") = 0;
  virtual void ProcessPendingEvents() = 0;
  // Runs `work` (a web request) on a thread of its own and returns when it is done. Meanwhile
  // the UI thread keeps the window painted and its timers running (an animated advert), and
  // handles nothing else: clicks and keys stay queued until events are next processed, so the
  // program sees its input exactly where it did when it waited on the request itself; the
  // system never takes the window for hung.
  virtual void RunWhilePainting(const std::function<void()>& work) = 0;
  virtual void RunOnUiThread(std::function<void()> task) = 0;
};

// The platform's toolkit, initialised for this process.
std::unique_ptr<Toolkit> NewToolkit(int& argc, char** argv);

}  // namespace pellucor
