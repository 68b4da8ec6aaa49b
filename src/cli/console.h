// The command line and the standard streams of the command-line converter. Text inside the
// program is GBK; these functions convert at the boundary, so that Chinese is right in a
// terminal of any encoding:
//   Linux:   arguments and output are UTF-8.
//   Windows: arguments come from the wide command line; a console is written through the
//            wide console API (right on any console code page); a pipe or a file receives
//            UTF-8 bytes, the encoding scripts and other programs read without guessing and
//            the same bytes the Linux build writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/text.h"

namespace pellucor {

enum class StandardStream { Output, Error };

struct Argument {
  GbkText text;
  // False when the text does not convert back to what the user gave (a character GBK lacks
  // became "?", or Linux bytes that are not UTF-8 were read as GBK): it can still be a link,
  // but not a path.
  bool exact = true;
};

// The arguments after the program name, as GBK text. On Linux an argument that is not valid
// UTF-8 is taken as GBK bytes.
std::vector<Argument> CommandLineArguments(int argc, char** argv);

// Whether the stream is a terminal (a console on Windows) rather than a pipe or a file.
bool IsTerminal(StandardStream stream);

// Writes GBK text to the stream. "\r\n" and "\n" end lines the platform's way ("\n" on Linux,
// "\r\n" on Windows); a lone "\r" (the progress line) is kept.
void WriteText(StandardStream stream, const GbkText& text);
// The same for text that is UTF-8 already (JSON).
void WriteUtf8(StandardStream stream, std::string_view utf8);
// Writes text that came from outside (a service's pages and replies, names in torrents): its
// line ends ("\r\n", "\n") end lines; every other control and direction change becomes
// U+FFFD (PrintableUtf8), so it cannot reach the terminal as an escape sequence, move the
// cursor or forge a line of its own. With `oneLine`, line ends too.
void WriteOutsideText(StandardStream stream, const GbkText& text, bool oneLine = false);
// The same as a string, for lines put together before they are written.
std::string PrintableText(const GbkText& text, bool oneLine);

// All of standard input's bytes; nothing when it cannot be read. Typed at a Windows console,
// the text comes as UTF-8.
std::optional<std::string> ReadStandardInput();

// Bytes a user gave (an argument, a line of a file): read as UTF-8 when they are valid UTF-8,
// as GBK otherwise (pure ASCII is the same either way).
Argument TextFromUserBytes(std::string_view bytes);

// `text` with every line end made the platform's ("\n" or "\r\n", kLineEnd).
std::string WithPlatformLineEnds(std::string_view text);
extern const char kLineEnd[];

}  // namespace pellucor
