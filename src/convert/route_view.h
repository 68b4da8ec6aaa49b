// What a conversion route needs of the window: the magnet box, the status log, a message box
// and the pending events. The window implements it; tests drive the routes with a fake.
#pragma once

#include <functional>

#include "base/text.h"

namespace pellucor {

class RouteView {
 public:
  virtual ~RouteView() = default;
  // The magnet box's current text, read afresh on every call.
  virtual GbkText MagnetBoxText() = 0;
  virtual void SetMagnetBoxText(const GbkText& text) = 0;
  // Appends to the end of the status log; each message carries its own "\r\n".
  virtual void AppendToLog(const GbkText& text) = 0;
  // A modal message box (caption "信息：", one OK button); returns when it is closed.
  virtual void ShowMessage(const GbkText& text) = 0;
  // Lets the window handle the events waiting for it, once.
  virtual void ProcessPendingEvents() = 0;
  // Runs a web request: the window stays painted meanwhile (Toolkit::RunWhilePainting); without
  // a window, the request simply runs.
  virtual void WhileWaiting(const std::function<void()>& request) { request(); }
  // Told once per saved torrent, just before the success message: the file's name in the
  // directory (as the message shows it) and its size. A file found there already with exactly
  // these bytes counts as saved. The window has no use for it; the command-line converter
  // reports it.
  virtual void TorrentSaved(const GbkText& fileName, int32_t bytes) {
    (void)fileName;
    (void)bytes;
  }
};

}  // namespace pellucor
