// The service's log: one line per event on standard error, a UTC timestamp and key=value fields,
//   time=2026-03-01T08:15:02.031Z level=info event=access client=127.0.0.1 method=GET
//   path=/magnet-bt/down.php?hash=… status=200 bytes=20533 ms=0.4
// A value with a space, a quote, "=", a control byte or bytes that are not UTF-8 is quoted, with
// \" \\ \n \r \t and \xNN escapes inside, so a line never breaks and a field never splits.
// Lines below the level (SetLogLevel) are not written. Called from every thread: the io thread
// (serve.cpp), and those that hand their results to it: libtorrent's and the lease thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace pellucor::service {

enum class LogLevel { kError, kWarn, kInfo, kDebug };

// "error", "warn", "info", "debug" → the level; anything else → nothing.
std::optional<LogLevel> ParseLogLevel(std::string_view text);
const char* LogLevelName(LogLevel level);

void SetLogLevel(LogLevel level);  // info until set
bool LogEnabled(LogLevel level);
// Where lines go, each without its line break; standard error when null (the default).
void SetLogSink(std::function<void(const std::string& line)> sink);

// One field of a line. Numbers are written as numbers; a double with up to three decimals.
struct LogField {
  LogField(std::string_view k, std::string_view v) : key(k), value(v) {}
  LogField(std::string_view k, const char* v) : key(k), value(v ? v : "") {}
  LogField(std::string_view k, const std::string& v) : key(k), value(v) {}
  LogField(std::string_view k, int v) : key(k), value(std::to_string(v)) {}
  LogField(std::string_view k, long v) : key(k), value(std::to_string(v)) {}
  LogField(std::string_view k, long long v) : key(k), value(std::to_string(v)) {}
  LogField(std::string_view k, unsigned v) : key(k), value(std::to_string(v)) {}
  LogField(std::string_view k, unsigned long v) : key(k), value(std::to_string(v)) {}
  LogField(std::string_view k, unsigned long long v) : key(k), value(std::to_string(v)) {}
  LogField(std::string_view k, bool v) : key(k), value(v ? "true" : "false") {}
  LogField(std::string_view k, double v);
  std::string_view key;
  std::string value;
};

void Log(LogLevel level, std::string_view event, std::initializer_list<LogField> fields = {});

// A request target as the access log gives it: each query value of more than 64 bytes as "…",
// and the whole cut to 512 bytes ("…" at the cut).
//   "/x?hash=abc&magnet=<200 bytes>" -> "/x?hash=abc&magnet=…"
std::string LogTarget(std::string_view target);

}  // namespace pellucor::service
