#include "cli/convert_command.h"

#include <atomic>
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
#include "cli/swarm_command.h"
#include "convert/magnet.h"
#include "convert/route_view.h"
#include "convert/routes.h"
#include "regex/regex_object.h"

namespace pellucor {
namespace {

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

// The two ways of converting, for CommandOption::commands.
constexpr unsigned kRoutes = 1;  // through the services
constexpr unsigned kSwarm = 2;   // --swarm

// `text` as a whole number from `low` to `high` (at most nine digits); nothing otherwise.
std::optional<int32_t> NumberIn(const std::string& text, int32_t low, int32_t high) {
  if (!AllDigits(text) || text.size() > 9) return std::nullopt;
  const int32_t n = ToInteger(GbkText(text));
  if (n < low || n > high) return std::nullopt;
  return n;
}

// "H:P,H:P,…" into `into`; the reason when an item is no address.
Refusal HostPortList(const char* option, const std::string& text, std::vector<std::string>& into) {
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma - start);
    if (!ParseHostPort(item)) return std::string(option) + " takes HOST:PORT,…, not " + text;
    into.push_back(item);
    if (comma == std::string::npos) return std::nullopt;
    start = comma + 1;
  }
}

std::vector<Option> Options(const GbkText& siteTag, bool& stdinRead) {
  std::vector<Option> options = {
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
         const std::optional<int32_t> jobs = NumberIn(n.text, 1, kMaxJobs);
         if (!jobs)
           return "-j takes a number from 1 to " + IntegerToText(kMaxJobs).str() + ", not " +
                  n.text;
         o.jobs = *jobs;
         return std::nullopt;
       },
       "-j N"},
      {"--route", nullptr, "1|2",
       "1: the torrent store; 2: the network, with a preview of the\nfile list (default 2)",
       kRoutes,
       [](ConvertOptions& o, const OptionValue& n) -> Refusal {
         if (n.text != "1" && n.text != "2") return "--route takes 1 or 2, not " + n.text;
         o.route = n.text == "1" ? 1 : 2;
         return std::nullopt;
       }},
      {"--service", nullptr, "HOST[:PORT]",
       "the service both routes ask (default: the built-in ones)", kRoutes,
       [](ConvertOptions& o, const OptionValue& v) -> Refusal {
         const std::optional<GbkText> host = ServiceHost(GbkText(v.text));
         if (!host) return "--service takes HOST[:PORT], not " + v.text;
         o.firstHost = o.secondHost = *host;
         return std::nullopt;
       }},
      {"--site-tag", nullptr, "TAG",
       "the second service's tag in its file names (default " + siteTag.str() + ")", kRoutes,
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
  if (!kSwarmBuilt) return options;
  std::vector<Option> swarm = {
      {"--swarm", nullptr, nullptr,
       "look the links up in the BitTorrent swarm itself, with no\n"
       "service: this joins the public DHT (see the manual)",
       kSwarm,
       [](ConvertOptions& o, const OptionValue&) -> Refusal {
         o.swarm.on = true;
         return std::nullopt;
       }},
      {"--dht-bootstrap", nullptr, "H:P,...",
       "the DHT nodes to start from (default: the public routers)", kSwarm,
       [](ConvertOptions& o, const OptionValue& v) -> Refusal {
         return HostPortList("--dht-bootstrap", v.text, o.swarm.dhtBootstrap);
       }},
      {"--no-dht", nullptr, nullptr, "no DHT: only --peer, --trackers and the links' own", kSwarm,
       [](ConvertOptions& o, const OptionValue&) -> Refusal {
         o.swarm.dht = false;
         return std::nullopt;
       }},
      {"--peer", nullptr, "H:P,...", "peers to ask for every link", kSwarm,
       [](ConvertOptions& o, const OptionValue& v) -> Refusal {
         return HostPortList("--peer", v.text, o.swarm.peers);
       }},
      {"--trackers", nullptr, "FILE",
       "announce URLs to ask for every link, one a line, a blank\nline between tiers", kSwarm,
       [](ConvertOptions& o, const OptionValue& file) -> Refusal {
         if (!file.exact || file.text.empty()) return "cannot read " + file.text;
         o.swarm.trackersFile = GbkText(file.text);
         return std::nullopt;
       }},
      {"--timeout", nullptr, "SECONDS", "how long a link is looked for (default 60)", kSwarm,
       [](ConvertOptions& o, const OptionValue& n) -> Refusal {
         const std::optional<int32_t> seconds = NumberIn(n.text, 1, 86400);
         if (!seconds) return "--timeout takes seconds from 1 to 86400, not " + n.text;
         o.swarm.timeoutSeconds = *seconds;
         return std::nullopt;
       }},
      {"--dht-state", nullptr, "FILE",
       std::string("the DHT's routing table, read at the start and saved at\nthe end (default: ") +
           kUserCacheDirectoryShown + kPathSeparator + "dht-state)",
       kSwarm,
       [](ConvertOptions& o, const OptionValue& file) -> Refusal {
         if (!file.exact || file.text.empty()) return "cannot use the file name " + file.text;
         o.swarm.dhtStateFile = GbkText(file.text);
         return std::nullopt;
       }},
  };
  options.insert(options.end(), swarm.begin(), swarm.end());
  return options;
}

GbkText UsageText(const GbkText& siteTag) {
  bool unused = false;
  return ConcatText(
      kSwarmBuilt ? "usage: pellucor-convert [options] [LINK...]\n"
                    "       pellucor-convert --swarm [options] [LINK...]\n"
                    "Turns magnet links or bare info hashes into .torrent files through the\n"
                    "routes of the Pellucor window, or with --swarm from the BitTorrent swarm\n"
                    "itself.\n"
                    "\n"
                  : "usage: pellucor-convert [options] [LINK...]\n"
                    "Turns magnet links or bare info hashes into .torrent files through the\n"
                    "routes of the Pellucor window.\n"
                    "\n",
      GbkText(OptionRows(Options(siteTag, unused), 25)),
      "  --version              the version\n"
      "  -h, --help             this help\n"
      "\n"
      "Standard output: \"OK <hash> <file>\" or \"FAIL <hash> <input> <reason>\", one line per\n"
      "link.\n"
      "Standard error: the conversion log, progress on a terminal, a summary.\n"
      "Exit status: 0 every link converted, 1 some failed, 2 bad usage, 3 no service could\n"
      "be reached.\n");
}

}  // namespace

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

namespace {

GbkText WithoutLineEnds(const GbkText& text) {
  std::string s = text.str();
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
  return GbkText(s);
}

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
  Reporter reporter(options.json, options.route == 1 ? options.firstHost : options.secondHost,
                    options.links.size());
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
      reporter.Log(ConcatText(kConvertProgram, ": cannot start a conversion thread\n"));
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
  // --swarm changes which options there are: looked for before the options are read.
  rules.command = kRoutes;
  rules.commandName = "a conversion through the services";
  for (const Argument& a : args) {
    if (a.text == GbkText("--")) break;
    if (a.text == GbkText("--swarm") && kSwarmBuilt) {
      rules.command = kSwarm;
      rules.commandName = "--swarm";
    }
  }
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
    WriteText(StandardStream::Output, ConcatText(kConvertProgram, " ", VersionText(), "\n"));
    return kExitAllConverted;
  }
  if (std::holds_alternative<ShowHelp>(parsed)) {
    WriteText(StandardStream::Output, UsageText(deployment.siteTag));
    return kExitAllConverted;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    WriteText(StandardStream::Error, ConcatText(kConvertProgram, ": ", error->message,
                                                "\nTry 'pellucor-convert --help'.\n"));
    return kExitUsage;
  }
  const ConvertOptions& options = std::get<ConvertOptions>(parsed);
  // An empty directory is the root ("/" given on Linux).
  if (options.directoryGiven && !options.directory.empty() &&
      !CreateDirectories(options.directory)) {
    WriteText(StandardStream::Error, ConcatText(kConvertProgram, ": cannot create the directory ",
                                                options.directory, "\n"));
    return kExitUsage;
  }
  return options.swarm.on ? ConvertFromSwarm(options) : Convert(options);
}

}  // namespace pellucor
