#include "service/core/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "base/utf8.h"

namespace pellucor::service {
namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::kInfo)};
// The one lock of the log: the io thread, libtorrent's threads and the lease thread all write.
std::mutex gSinkMutex;
std::function<void(const std::string&)> gSink;  // guarded by gSinkMutex

void AppendValue(std::string& line, std::string_view value) {
  bool plain = !value.empty();
  for (size_t i = 0; plain && i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c <= 0x20 || c == 0x7F || c == '"' || c == '=' || c == '\\') plain = false;
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(value, i);
      if (length == 0 || IsControlOrBidi(Utf8CodePoint(value, i, length)))
        plain = false;
      else
        i += length - 1;
    }
  }
  if (plain) {
    line += value;
    return;
  }
  line += '"';
  for (size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    switch (c) {
      case '"':
        line += "\\\"";
        continue;
      case '\\':
        line += "\\\\";
        continue;
      case '\n':
        line += "\\n";
        continue;
      case '\r':
        line += "\\r";
        continue;
      case '\t':
        line += "\\t";
        continue;
      default:
        break;
    }
    const size_t length = c >= 0x80 ? Utf8SequenceLength(value, i) : 1;
    if (c < 0x20 || c == 0x7F || length == 0) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      line += escape;
    } else if (length > 1 && IsControlOrBidi(Utf8CodePoint(value, i, length))) {
      // A C1 control or a direction change would act on the terminal that shows the log.
      char escape[12];
      std::snprintf(escape, sizeof escape, "\\u%04x", Utf8CodePoint(value, i, length));
      line += escape;
      i += length - 1;
    } else {
      line.append(value.substr(i, length));
      i += length - 1;
    }
  }
  line += '"';
}

// The UTC time by the C++ calendar, the same on every system (gmtime_r is POSIX's alone).
std::string Now() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace

LogField::LogField(std::string_view k, double v) : key(k) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  value = text;
  // "2.500" → "2.5", "3.000" → "3"
  while (value.back() == '0') value.pop_back();
  if (value.back() == '.') value.pop_back();
}

std::optional<LogLevel> ParseLogLevel(std::string_view text) {
  for (LogLevel level : {LogLevel::kError, LogLevel::kWarn, LogLevel::kInfo, LogLevel::kDebug})
    if (text == LogLevelName(level)) return level;
  return std::nullopt;
}

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "error";
    case LogLevel::kWarn:
      return "warn";
    case LogLevel::kInfo:
      return "info";
    case LogLevel::kDebug:
      return "debug";
  }
  return "info";
}

void SetLogLevel(LogLevel level) {
  gLevel = static_cast<int>(level);
}

bool LogEnabled(LogLevel level) {
  return static_cast<int>(level) <= gLevel;
}

void SetLogSink(std::function<void(const std::string& line)> sink) {
  std::lock_guard lock(gSinkMutex);
  gSink = std::move(sink);
}

void Log(LogLevel level, std::string_view event, std::initializer_list<LogField> fields) {
  if (!LogEnabled(level)) return;
  std::string line = "time=" + Now() + " level=" + LogLevelName(level) + " event=";
  AppendValue(line, event);
  for (const LogField& field : fields) {
    line += ' ';
    line += field.key;
    line += '=';
    AppendValue(line, field.value);
  }
  std::lock_guard lock(gSinkMutex);
  if (gSink) {
    gSink(line);
  } else {
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
}

std::string LogTarget(std::string_view target) {
  constexpr size_t kMaxValue = 64;
  constexpr size_t kMaxTarget = 512;
  constexpr std::string_view kOmitted = "\u2026";
  const size_t q = target.find('?');
  std::string out(target.substr(0, q));
  if (q != std::string_view::npos) {
    out += '?';
    std::string_view query = target.substr(q + 1);
    for (;;) {
      const size_t amp = query.find('&');
      const std::string_view pair = query.substr(0, amp);
      const size_t eq = pair.find('=');
      if (eq != std::string_view::npos && pair.size() - eq - 1 > kMaxValue) {
        out.append(pair.substr(0, eq + 1));
        out += kOmitted;
      } else {
        out.append(pair);
      }
      if (amp == std::string_view::npos) break;
      out += '&';
      query.remove_prefix(amp + 1);
    }
  }
  if (out.size() > kMaxTarget) {
    size_t cut = kMaxTarget;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += kOmitted;
  }
  return out;
}

}  // namespace pellucor::service
