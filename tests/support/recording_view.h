// What tests run the tool's routes with: a view that keeps the box's text, the log and the
// messages, and counts the times a route lets the window handle its events (it handles none).
// Tests compiled like the service (UTF-8 literals) get the tool's GBK texts from G().
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/codepage.h"
#include "convert/routes.h"

namespace pellucor::testing {

// The tool's text (GBK) of a UTF-8 literal.
inline std::string G(const char* utf8) {
  return Utf16ToGbk(Utf8ToUtf16(utf8));
}

class RecordingView : public RouteView {
 public:
  explicit RecordingView(GbkText box = GbkText()) : box(std::move(box)) {}
  GbkText MagnetBoxText() override { return box; }
  void SetMagnetBoxText(const GbkText& text) override { box = text; }
  void AppendToLog(const GbkText& text) override { log += text.str(); }
  void ShowMessage(const GbkText& text) override { messages.push_back(text.str()); }
  void ProcessPendingEvents() override { ++pendingEventRounds; }
  GbkText box;
  std::string log;
  std::vector<std::string> messages;
  int pendingEventRounds = 0;
};

}  // namespace pellucor::testing
