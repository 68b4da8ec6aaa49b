// What pellucor-convert writes, whichever way it converts: one line (or JSON object) per link on
// standard output, in the order the links finish; the conversion log, a progress line on a
// terminal and a summary on standard error. Called from every conversion thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

#include "base/text.h"

namespace pellucor {

inline constexpr char kConvertProgram[] = "pellucor-convert";

// Exit statuses.
inline constexpr int kExitAllConverted = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoService = 3;

struct LinkResult {
  GbkText hash;
  GbkText input;  // where the link came from
  bool saved = false;
  GbkText file;  // as shown: the name, joined to -d when one was given
  int32_t bytes = 0;
  std::string outcome;  // "saved", the lookup's code, "bad_link", "unreachable", "failed"
  GbkText message;
  double seconds = 0;
  bool reached = false, unreachable = false;
  // From the swarm: whether a torrent that needs piece layers has them (nothing for one that
  // needs none, and in the other modes).
  std::optional<bool> pieceLayers;
};

class Reporter {
 public:
  // `host` is the service a "no reply" line names.
  Reporter(bool json, GbkText host, size_t total);

  // Log lines, as they come.
  void Log(const GbkText& text);
  // A link's result, with its log lines when they were kept together.
  void Finished(const LinkResult& r, const GbkText& log);
  // What the progress line says after the counts ("DHT nodes 12, peers 3").
  void SetStatus(const GbkText& status);
  // Writes the summary; the exit status.
  int Summary();

 private:
  std::string TextLine(const LinkResult& r) const;
  std::string JsonLine(const LinkResult& r) const;
  void ClearProgress();
  void DrawProgress();

  const bool json_;
  const GbkText host_;
  const size_t total_;
  const bool progress_;
  std::mutex mutex_;
  GbkText status_;
  size_t progressWidth_ = 0;
  size_t converted_ = 0, failed_ = 0;
  bool reached_ = false, unreachable_ = false, toldUnreachable_ = false;
};

}  // namespace pellucor
