#include "cli/convert_command.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "base/codepage.h"
#include "base/command_line.h"
#include "base/env.h"
#include "base/hex.h"
#include "base/host_port.h"
#include "base/json.h"
#include "base/random.h"
#include "base/version.h"
#include "cli/service_api.h"
#include "convert/magnet.h"
#include "convert/route_view.h"
#include "convert/routes.h"
#include "regex/regex_object.h"

namespace pellucor {
namespace {

constexpr char kProgram[] = "pellucor-convert";

bool IsBlankOrTab(char c) {
  return c == ' ' || c == '\t';
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The directory without separators at its end ("out/" -> "out", "/" -> "", which the routes
// join to "/name"). Steps by characters: on Windows a trail byte can be "\".
GbkText WithoutTrailingSeparators(const GbkText& dir) {
  const std::string_view s = dir.view();
  size_t keep = 0;  // bytes up to the end of the last character that is no separator
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t width = GbkCharWidth(s, i);
    const bool separator = width == 1 && (c == '/' || (kPathSeparator[0] == '\\' && c == '\\'));
    i += width;
    if (!separator) keep = i;
  }
  return GbkText(s.substr(0, keep));
}

// "HOST[:PORT]", also written "http://HOST[:PORT]/"; nothing when it is not one.
std::optional<GbkText> ServiceHost(const GbkText& value) {
  GbkText host = value;
  if (LowerCaseAscii(LeftPart(host, 7)) == GbkText("http://"))
    host = RightPart(host, host.size() - 7);
  while (!host.empty() && host.view().back() == '/') host = LeftPart(host, host.size() - 1);
  for (const char ch : host.view())
    if (static_cast<unsigned char>(ch) >= 0x7F) return std::nullopt;
  if (!ParseHostPort(host.view(), PortRule::kOptional)) return std::nullopt;
  return host;
}

// An -i file as a FAIL line names it: blanks and control bytes as %XX, so the line keeps its
// fields.
std::string InputName(std::string_view file) {
  std::string out;
  for (const char ch : file) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) {
      AppendPercentEncoded(out, c);
    } else {
      out += ch;
    }
  }
  return out;
}

using Option = CommandOption<ConvertOptions>;
using Refusal = std::optional<std::string>;

std::vector<Option> Options(const GbkText& siteTag, bool& stdinRead) {
  return {
      {"-i", "--input-file", "FILE",
       "read links from FILE, one a line; blank lines and lines\n"
       "starting with # are skipped; - reads standard input",
       ~0u,
       [&stdinRead](ConvertOptions& o, const OptionValue& file) -> Refusal {
         o.inputGiven = true;
         std::optional<std::string> bytes;
         if (file.text == "-") {
           if (stdinRead) return std::nullopt;  // standard input is read once
           stdinRead = true;
           bytes = ReadStandardInput();
         } else if (file.exact) {
           if (auto read = ReadBytesFromFile(GbkText(file.text))) bytes = read->str();
         }
         if (!bytes) return "cannot read " + file.text;
         std::vector<int> lines;
         std::vector<GbkText> links = LinksFromFile(*bytes, &lines);
         for (size_t i = 0; i < links.size(); ++i) {
           o.links.push_back(std::move(links[i]));
           o.inputs.push_back(GbkText(InputName(file.text) + ":" + std::to_string(lines[i])));
         }
         return std::nullopt;
       },
       "-i FILE"},
      {"-d", "--dir", "DIR",
       "save the torrents in DIR, created if missing (default: the\ncurrent directory)", ~0u,
       [](ConvertOptions& o, const OptionValue& dir) -> Refusal {
         if (!dir.exact || dir.text.empty()) return "cannot use the directory name " + dir.text;
         o.directory = WithoutTrailingSeparators(GbkText(dir.text));
         o.directoryGiven = true;
         return std::nullopt;
       },
       "-d DIR"},
      {"-j", "--jobs", "N", "convert N links at once, 1 to 64 (default 4)", ~0u,
       [](ConvertOptions& o, const OptionValue& n) -> Refusal {
         const GbkText text(n.text);
         if (!AllDigits(n.text) || n.text.size() > 3 || ToInteger(text) < 1 ||
             ToInteger(text) > kMaxJobs)
           return "-j takes a number from 1 to " + IntegerToText(kMaxJobs).str() + ", not " +
                  n.text;
         o.jobs = ToInteger(text);
         return std::nullopt;
       },
       "-j N"},
      {"--route", nullptr, "1|2",
       "1: the torrent store; 2: the network, with a preview of the\nfile list (default 2)", ~0u,
       [](ConvertOptions& o, const OptionValue& n) -> Refusal {
         if (n.text != "1" && n.text != "2") return "--route takes 1 or 2, not " + n.text;
         o.route = n.text == "1" ? 1 : 2;
         return std::nullopt;
       }},
      {"--service", nullptr, "HOST[:PORT]",
       "the service both routes ask (default: the built-in ones)", ~0u,
       [](ConvertOptions& o, const OptionValue& v) -> Refusal {
         const std::optional<GbkText> host = ServiceHost(GbkText(v.text));
         if (!host) return "--service takes HOST[:PORT], not " + v.text;
         o.firstHost = o.secondHost = *host;
         return std::nullopt;
       }},
      {"--site-tag", nullptr, "TAG",
       "the second service's tag in its file names (default " + siteTag.str() + ")", ~0u,
       [](ConvertOptions& o, const OptionValue& v) -> Refusal {
         if (v.text.empty()) return "--site-tag needs a tag";
         o.siteTag = GbkText(v.text);
         return std::nullopt;
       }},
      {"--json", nullptr, nullptr, "one JSON object per link on standard output", ~0u,
       [](ConvertOptions& o, const OptionValue&) -> Refusal {
         o.json = true;
         return std::nullopt;
       }},
  };
}

GbkText UsageText(const GbkText& siteTag) {
  bool unused = false;
  return ConcatText(
      "usage: pellucor-convert [options] [LINK...]\n"
      "Turns magnet links or bare info hashes into .torrent files through the routes of the\n"
      "Pellucor window.\n"
      "\n",
      GbkText(OptionRows(Options(siteTag, unused), 25)),
      "  --version              the version\n"
      "  -h, --help             this help\n"
      "\n"
      "Standard output: \"OK <hash> <file>\" or \"FAIL <hash> <reason>\", one line per link.\n"
      "Standard error: the conversion log, progress on a terminal, a summary.\n"
      "Exit status: 0 every link converted, 1 some failed, 2 bad usage, 3 no service could\n"
      "be reached.\n");
}

// The hash a link goes by in the output: the one the route sends, or for a rejected text the
// text itself with blanks and control bytes written as %XX, so the line keeps its fields.
GbkText DisplayHash(const GbkText& link) {
  if (CheckMagnetText(link)) return TakeMagnetHash(Route::Second, link);
  const GbkText trimmed = TrimBoth(link);
  if (trimmed.empty()) return "-";
  std::string out;
  for (const char ch : trimmed.view()) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F) {
      AppendPercentEncoded(out, c);
    } else {
      out += ch;
    }
  }
  return GbkText(out);
}

GbkText WithoutLineEnds(const GbkText& text) {
  std::string s = text.str();
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
  return GbkText(s);
}

struct LinkResult {
  GbkText hash;
  GbkText input;  // where the link came from
  bool saved = false;
  GbkText file;  // as shown: the name, joined to -d when one was given
  int32_t bytes = 0;
  std::string outcome;  // "saved", the service's code, "bad_link", "unreachable", "failed"
  GbkText message;
  double seconds = 0;
  bool reached = false, unreachable = false;
};

// The window, as far as the routes see it, for one link.
class ConsoleView final : public RouteView {
 public:
  using LiveLog = std::function<void(const GbkText&)>;
  ConsoleView(GbkText link, LiveLog live) : box_(std::move(link)), live_(std::move(live)) {}

  GbkText MagnetBoxText() override { return box_; }
  void SetMagnetBoxText(const GbkText& text) override { box_ = text; }
  void AppendToLog(const GbkText& text) override {
    last_ = text;
    if (live_) {
      live_(text);
    } else {
      log_ = ConcatText(log_, text);
    }
  }
  // The first route's two message boxes become log lines, their texts unchanged.
  void ShowMessage(const GbkText& text) override { AppendToLog(ConcatText(text, "\r\n")); }
  void ProcessPendingEvents() override {}
  void TorrentSaved(const GbkText& fileName, int32_t bytes) override {
    saved_ = fileName;
    bytes_ = bytes;
  }

  const GbkText& Log() const { return log_; }
  const GbkText& LastMessage() const { return last_; }
  const std::optional<GbkText>& Saved() const { return saved_; }
  int32_t Bytes() const { return bytes_; }

 private:
  GbkText box_;
  LiveLog live_;
  GbkText log_, last_;
  std::optional<GbkText> saved_;
  int32_t bytes_ = 0;
};

// Everything written to the two streams, one piece at a time.
class Reporter {
 public:
  Reporter(const ConvertOptions& options, size_t total)
      : options_(options), total_(total), progress_(IsTerminal(StandardStream::Error)) {}

  void Log(const GbkText& text) {
    std::lock_guard lock(mutex_);
    ClearProgress();
    WriteOutsideText(StandardStream::Error, text);
    DrawProgress();
  }

  void Finished(const LinkResult& r, const GbkText& log) {
    std::lock_guard lock(mutex_);
    ClearProgress();
    if (!log.empty()) WriteOutsideText(StandardStream::Error, log);
    if (r.unreachable && !toldUnreachable_) {
      toldUnreachable_ = true;
      WriteText(StandardStream::Error,
                ConcatText(kProgram, ": no reply from the service at ", Host(), "\n"));
    }
    // Exactly one line per link, whatever its fields hold.
    WriteUtf8(StandardStream::Output, options_.json ? JsonLine(r) : TextLine(r));
    (r.saved ? converted_ : failed_)++;
    reached_ = reached_ || r.saved || r.reached;
    unreachable_ = unreachable_ || r.unreachable;
    DrawProgress();
  }

  int Summary() {
    std::lock_guard lock(mutex_);
    ClearProgress();
    WriteText(StandardStream::Error,
              ConcatText(kProgram, ": ", IntegerToText(static_cast<int32_t>(converted_)), " of ",
                         IntegerToText(static_cast<int32_t>(total_)), " converted, ",
                         IntegerToText(static_cast<int32_t>(failed_)), " failed\n"));
    if (failed_ == 0) return kExitAllConverted;
    if (converted_ == 0 && unreachable_ && !reached_) return kExitNoService;
    return kExitSomeFailed;
  }

 private:
  GbkText Host() const { return options_.route == 1 ? options_.firstHost : options_.secondHost; }

  static std::string TextLine(const LinkResult& r) {
    auto field = [](const GbkText& t) { return PrintableText(t, true); };
    return r.saved ? "OK " + field(r.hash) + " " + field(r.file) + "\n"
                   : "FAIL " + field(r.hash) + " " + field(r.input) + " " + field(r.message) + "\n";
  }

  static std::string JsonLine(const LinkResult& r) {
    auto text = [](const GbkText& t) { return JsonQuote(GbkToUtf8(t.view())); };
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    return "{\"hash\":" + text(r.hash) + ",\"input\":" + text(r.input) +
           ",\"file\":" + (r.saved ? text(r.file) : "null") +
           ",\"bytes\":" + (r.saved ? std::to_string(r.bytes) : "null") +
           ",\"outcome\":" + JsonQuote(r.outcome) + ",\"message\":" + text(r.message) +
           ",\"seconds\":" + seconds + "}\n";
  }

  void ClearProgress() {
    if (!progress_ || progressWidth_ == 0) return;
    WriteText(StandardStream::Error,
              ConcatText("\r", SpacesText(static_cast<int32_t>(progressWidth_)), "\r"));
    progressWidth_ = 0;
  }

  void DrawProgress() {
    if (!progress_) return;
    const GbkText line = ConcatText(IntegerToText(static_cast<int32_t>(converted_)), "/",
                                    IntegerToText(static_cast<int32_t>(total_)), " converted, ",
                                    IntegerToText(static_cast<int32_t>(failed_)), " failed");
    WriteText(StandardStream::Error, ConcatText("\r", line));
    progressWidth_ = static_cast<size_t>(line.size());
  }

  const ConvertOptions& options_;
  const size_t total_;
  const bool progress_;
  std::mutex mutex_;
  size_t progressWidth_ = 0;
  size_t converted_ = 0, failed_ = 0;
  bool reached_ = false, unreachable_ = false, toldUnreachable_ = false;
};

LinkResult ConvertLink(const ConvertOptions& options, const GbkText& link, Reporter& reporter,
                       GbkText* log) {
  const uint32_t start = TickCount();
  // With one link at a time the log goes out as it comes, as in the window; with several, a
  // link's lines are kept together until it ends.
  ConsoleView view(link, options.jobs == 1
                             ? ConsoleView::LiveLog([&](const GbkText& t) { reporter.Log(t); })
                             : ConsoleView::LiveLog());
  const GbkText host = options.route == 1 ? options.firstHost : options.secondHost;
  if (options.route == 1) {
    RunFirstRoute(view, options.directory, host);
  } else {
    RunSecondRoute(view, options.directory, host, options.siteTag);
  }

  LinkResult r;
  r.hash = DisplayHash(link);
  if (view.Saved()) {
    r.saved = true;
    r.file = options.directoryGiven ? ConcatText(options.directory, kPathSeparator, *view.Saved())
                                    : *view.Saved();
    r.bytes = view.Bytes();
    r.outcome = "saved";
    r.message = WithoutLineEnds(view.LastMessage());
  } else {
    r.message = WithoutLineEnds(view.LastMessage());
    r.outcome = "failed";
    if (!CheckMagnetText(link)) {
      r.outcome = "bad_link";
    } else if (IsApiHash(r.hash)) {
      const ServiceAnswer answer = AskServiceAbout(host, r.hash);
      r.reached = answer.reached;
      r.unreachable = !answer.reached;
      if (r.unreachable) {
        // The route's own message blames the link; the truth is that nothing answered.
        r.outcome = "unreachable";
        r.message = ConcatText("no reply from the service at ", host);
      }
      if (!answer.outcome.empty()) {
        r.outcome = answer.outcome;
        r.message = answer.phrase;
      }
    }
  }
  r.seconds = (TickCount() - start) / 1000.0;
  *log = view.Log();
  return r;
}

int Convert(const ConvertOptions& options) {
  Reporter reporter(options, options.links.size());
  std::atomic<size_t> next{0};
  const size_t workers = std::min(static_cast<size_t>(options.jobs), options.links.size());
  std::vector<ThreadHandle> threads(workers);
  for (ThreadHandle& thread : threads) {
    const bool started = StartThread(
        [&](intptr_t) {
          // The thread's own engine preparation (COM on Windows) for all its conversions, and
          // its own random numbers for the first route's names.
          RegexObject threadRegex;
          SeedRandom();
          for (size_t i; (i = next++) < options.links.size();) {
            GbkText log;
            LinkResult r = ConvertLink(options, options.links[i], reporter, &log);
            r.input = options.inputs[i];
            reporter.Finished(r, log);
          }
        },
        0, &thread);
    if (!started) {
      reporter.Log(ConcatText(kProgram, ": cannot start a conversion thread\n"));
      break;
    }
  }
  for (ThreadHandle& thread : threads) thread.Join();
  // Links no thread took (no thread could be started at all) are reported as failed.
  for (size_t i; (i = next++) < options.links.size();) {
    LinkResult r;
    r.hash = DisplayHash(options.links[i]);
    r.input = options.inputs[i];
    r.outcome = "failed";
    r.message = "no conversion thread";
    reporter.Finished(r, {});
  }
  return reporter.Summary();
}

}  // namespace

std::vector<GbkText> LinksFromFile(std::string_view bytes, std::vector<int>* lines) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const bool utf8 = Utf16ToUtf8(Utf8ToUtf16(bytes)) == bytes;
  std::vector<GbkText> links;
  for (int number = 1; !bytes.empty(); ++number) {
    const size_t lf = bytes.find('\n');
    std::string_view line = bytes.substr(0, lf);
    bytes = lf == std::string_view::npos ? std::string_view() : bytes.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = 0;
    while (first < line.size() && IsBlankOrTab(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;
    links.push_back(utf8 ? TextFromUserBytes(line).text : GbkText(line));
    if (lines) lines->push_back(number);
  }
  return links;
}

std::variant<ConvertOptions, ShowHelp, ShowVersion, UsageError> ParseConvertCommand(
    const std::vector<Argument>& args, const Deployment& deployment) {
  ConvertOptions o;
  o.firstHost = deployment.firstServiceHost;
  o.secondHost = deployment.secondServiceHost;
  o.siteTag = deployment.siteTag;
  bool stdinRead = false;
  CommandLineRules rules;
  rules.operand = [&o](const OptionValue& link, size_t position) -> Refusal {
    o.links.push_back(GbkText(link.text));
    o.inputs.push_back(GbkText("arg:" + std::to_string(position)));
    o.inputGiven = true;
    return std::nullopt;
  };
  std::vector<OptionValue> words;
  for (const Argument& a : args) words.push_back({a.text.str(), a.exact});
  const CommandLineResult read =
      ReadCommandLine(words, Options(deployment.siteTag, stdinRead), rules, o);
  if (read.help) return ShowHelp{};
  if (read.version) return ShowVersion{};
  if (read.error) return UsageError{GbkText(*read.error)};
  if (!o.inputGiven) return UsageError{"no links given"};
  return o;
}

int RunConvertCommand(const std::vector<Argument>& args, const Deployment& deployment) {
  auto parsed = ParseConvertCommand(args, deployment);
  if (std::holds_alternative<ShowVersion>(parsed)) {
    WriteText(StandardStream::Output, ConcatText(kProgram, " ", VersionText(), "\n"));
    return kExitAllConverted;
  }
  if (std::holds_alternative<ShowHelp>(parsed)) {
    WriteText(StandardStream::Output, UsageText(deployment.siteTag));
    return kExitAllConverted;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    WriteText(StandardStream::Error,
              ConcatText(kProgram, ": ", error->message, "\nTry 'pellucor-convert --help'.\n"));
    return kExitUsage;
  }
  const ConvertOptions& options = std::get<ConvertOptions>(parsed);
  // An empty directory is the root ("/" given on Linux).
  if (options.directoryGiven && !options.directory.empty() &&
      !CreateDirectories(options.directory)) {
    WriteText(StandardStream::Error,
              ConcatText(kProgram, ": cannot create the directory ", options.directory, "\n"));
    return kExitUsage;
  }
  return Convert(options);
}

}  // namespace pellucor
