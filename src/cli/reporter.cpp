#include "cli/reporter.h"

#include <cstdio>

#include "base/codepage.h"
#include "base/json.h"
#include "cli/console.h"

namespace pellucor {

Reporter::Reporter(bool json, GbkText host, size_t total)
    : json_(json),
      host_(std::move(host)),
      total_(total),
      progress_(IsTerminal(StandardStream::Error)) {}

void Reporter::Log(const GbkText& text) {
  std::lock_guard lock(mutex_);
  ClearProgress();
  WriteOutsideText(StandardStream::Error, text);
  DrawProgress();
}

void Reporter::Finished(const LinkResult& r, const GbkText& log) {
  std::lock_guard lock(mutex_);
  ClearProgress();
  if (!log.empty()) WriteOutsideText(StandardStream::Error, log);
  if (r.unreachable && !toldUnreachable_) {
    toldUnreachable_ = true;
    WriteText(StandardStream::Error,
              ConcatText(kConvertProgram, ": no reply from the service at ", host_, "\n"));
  }
  // Exactly one line per link, whatever its fields hold.
  WriteUtf8(StandardStream::Output, json_ ? JsonLine(r) : TextLine(r));
  (r.saved ? converted_ : failed_)++;
  reached_ = reached_ || r.saved || r.reached;
  unreachable_ = unreachable_ || r.unreachable;
  DrawProgress();
}

void Reporter::SetStatus(const GbkText& status) {
  std::lock_guard lock(mutex_);
  if (status == status_) return;
  ClearProgress();
  status_ = status;
  DrawProgress();
}

int Reporter::Summary() {
  std::lock_guard lock(mutex_);
  ClearProgress();
  WriteText(StandardStream::Error,
            ConcatText(kConvertProgram, ": ", IntegerToText(static_cast<int32_t>(converted_)),
                       " of ", IntegerToText(static_cast<int32_t>(total_)), " converted, ",
                       IntegerToText(static_cast<int32_t>(failed_)), " failed\n"));
  if (failed_ == 0) return kExitAllConverted;
  if (converted_ == 0 && unreachable_ && !reached_) return kExitNoService;
  return kExitSomeFailed;
}

std::string Reporter::TextLine(const LinkResult& r) const {
  auto field = [](const GbkText& t) { return PrintableText(t, true); };
  return r.saved ? "OK " + field(r.hash) + " " + field(r.file) + "\n"
                 : "FAIL " + field(r.hash) + " " + field(r.input) + " " + field(r.message) + "\n";
}

std::string Reporter::JsonLine(const LinkResult& r) const {
  auto text = [](const GbkText& t) { return JsonQuote(GbkToUtf8(t.view())); };
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
  std::string line = "{\"hash\":" + text(r.hash) + ",\"input\":" + text(r.input) +
                     ",\"file\":" + (r.saved ? text(r.file) : "null") +
                     ",\"bytes\":" + (r.saved ? std::to_string(r.bytes) : "null") +
                     ",\"outcome\":" + JsonQuote(r.outcome) + ",\"message\":" + text(r.message) +
                     ",\"seconds\":" + seconds;
  if (r.pieceLayers) line += std::string(",\"pieceLayers\":") + (*r.pieceLayers ? "true" : "false");
  return line + "}\n";
}

void Reporter::ClearProgress() {
  if (!progress_ || progressWidth_ == 0) return;
  WriteText(StandardStream::Error,
            ConcatText("\r", SpacesText(static_cast<int32_t>(progressWidth_)), "\r"));
  progressWidth_ = 0;
}

void Reporter::DrawProgress() {
  if (!progress_) return;
  GbkText line = ConcatText(IntegerToText(static_cast<int32_t>(converted_)), "/",
                            IntegerToText(static_cast<int32_t>(total_)), " converted, ",
                            IntegerToText(static_cast<int32_t>(failed_)), " failed");
  if (!status_.empty()) line = ConcatText(line, ", ", status_);
  WriteText(StandardStream::Error, ConcatText("\r", line));
  progressWidth_ = static_cast<size_t>(line.size());
}

}  // namespace pellucor
