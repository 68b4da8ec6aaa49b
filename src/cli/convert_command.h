// pellucor-convert: the window's conversion from a terminal or a script, for one link or ten
// thousand. Each link runs through the routes themselves (RunFirstRoute / RunSecondRoute)
// behind a console RouteView, on one of -j worker threads, each with its own RegexObject, so
// a conversion makes the same checks, messages and files as in the window.
//
// Standard output carries one line per link, in the order the links finish:
//   OK <hash> <file>          the file as saved (the rest of the line; it may hold spaces)
//   FAIL <hash> <input> <reason>
//                             <input> says where the link came from: FILE:LINE for a line of
//                             an -i file ("-" for standard input), arg:N for the N-th
//                             argument; blanks in it are written %20. <reason> is the service's
//                             lookup outcome when its API knows one, "no reply from the service
//                             at HOST" when none came, else the route's own message
// or, with --json, one object per link:
//   {"hash":"…","input":"…","file":"…"|null,"bytes":N|null,"outcome":"…","message":"…",
//    "seconds":X}
// Standard error carries the window's log lines (a link's lines together when several links
// run at once), a progress line when it is a terminal, and a summary.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "app/deployment.h"
#include "base/text.h"
#include "cli/console.h"
#include "cli/reporter.h"

namespace pellucor {

inline constexpr int kDefaultJobs = 4;
inline constexpr int kMaxJobs = 64;

// --swarm: each link looked up in the BitTorrent swarm by the converter itself.
struct SwarmOptions {
  bool on = false;
  bool dht = true;
  std::vector<std::string> dhtBootstrap;  // "host:port"; none given: the public routers
  std::vector<std::string> peers;         // "host:port", asked for every link
  GbkText trackersFile;                   // announce URLs by tier; empty: none
  int timeoutSeconds = 60;                // a link's, from when its lookup starts
  GbkText dhtStateFile;                   // empty: dht-state in UserCacheDirectory()
};

struct ConvertOptions {
  std::vector<GbkText> links;   // in the order given, -i files' lines where -i stands
  std::vector<GbkText> inputs;  // where each link came from: "FILE:LINE", "arg:N"
  int route = 2;
  GbkText directory = ".";  // where torrents are saved
  bool directoryGiven = false;
  int jobs = kDefaultJobs;
  GbkText firstHost, secondHost, siteTag;
  bool json = false;
  bool inputGiven = false;  // a link or -i was given (an empty -i file counts)
  SwarmOptions swarm;
};

struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
  GbkText message;  // one line, without the program name
};

// Reads the command line and the -i files (standard input for "-"). The services and the site
// tag are the deployment's unless the command line names others.
std::variant<ConvertOptions, ShowHelp, ShowVersion, UsageError> ParseConvertCommand(
    const std::vector<Argument>& args, const Deployment& deployment);

// The links of a -i file: one a line, the line break (CR LF or LF) removed; blank lines and
// lines whose first non-blank character is "#" skipped. The bytes are UTF-8 (a leading
// byte-order mark is skipped) or, when they are not valid UTF-8, GBK.
// `lines`, when given, receives each link's line number (from 1).
std::vector<GbkText> LinksFromFile(std::string_view bytes, std::vector<int>* lines = nullptr);

// The hash a link goes by in the output: the one the route sends, or for a rejected text the
// text itself with blanks and control bytes written as %XX, so the line keeps its fields.
GbkText DisplayHash(const GbkText& link);

// The whole command; returns the exit status.
int RunConvertCommand(const std::vector<Argument>& args, const Deployment& deployment);

}  // namespace pellucor
