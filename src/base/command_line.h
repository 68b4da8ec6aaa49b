// A command line read by one table of options: how both programs read theirs.
//   --name VALUE, --name=VALUE        a long option and its value
//   -x VALUE, -xVALUE                 a one-letter option and its value
//   --flag                            an option without a value
//   -h, --help                        the usage
//   --version                         the version
//   --                                the end of the options: every word after it is an operand
// A word that does not start with "-" (and "-" alone) is an operand. A value may not start
// with "--" when it is the next word: "--data --no-dht" says that --data lacks its value rather
// than taking "--no-dht" for a directory (write "--data=--no-dht" for that).
//
// Each option of the table names what it takes and applies its value to the settings; a value
// it refuses comes back as the reason, which the program words as it likes (Refusal). The
// table also writes the usage: one row per option, the help beside the name.
//   {"-j", "--jobs", "N", "convert N links at once"} -> "  -j N   convert N links at once"
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellucor {

// Whether a value is text the program can use as it stands (the converter's arguments may hold
// characters GBK lacks: fine in a link, not in a path). `text` is the argument's bytes.
struct OptionValue {
  std::string text;
  bool exact = true;
};

template <typename Settings>
struct CommandOption {
  const char* name;         // "--jobs" or "-j"
  const char* alias;        // another name ("-j" beside "--jobs"), or nullptr
  const char* value;        // its placeholder ("N", "DIR"); nullptr for a flag
  std::string help;         // "\n" between the lines of a longer help
  unsigned commands = ~0u;  // the commands that take it (bits the program defines)
  // Applies the value (empty for a flag); the reason when the value is refused.
  std::function<std::optional<std::string>(Settings&, const OptionValue&)> apply;
  // The option as the usage shows it; empty: the names and the placeholder.
  const char* shown = nullptr;
};

struct CommandLineRules {
  // The bit of the command being read, for CommandOption::commands, and its name for messages.
  unsigned command = ~0u;
  std::string commandName;
  // An operand and its position among the arguments (from 1); the message when it is refused.
  std::function<std::optional<std::string>(const OptionValue&, size_t position)> operand;
  // How a refused value is told: from the option's name, the value and the reason. By default
  // the reason alone.
  std::function<std::string(std::string_view name, std::string_view value, std::string_view why)>
      refusal;
};

struct CommandLineResult {
  bool help = false;                 // -h or --help was given (nothing after it was read)
  bool version = false;              // --version was given (nothing after it was read)
  std::optional<std::string> error;  // the first refusal, one line without the program's name
};

template <typename Settings>
const CommandOption<Settings>* FindOption(const std::vector<CommandOption<Settings>>& table,
                                          std::string_view name) {
  for (const CommandOption<Settings>& o : table)
    if (name == o.name || (o.alias && name == o.alias)) return &o;
  return nullptr;
}

// Reads `args` (without the program's name) into `settings`.
template <typename Settings>
CommandLineResult ReadCommandLine(const std::vector<OptionValue>& args,
                                  const std::vector<CommandOption<Settings>>& table,
                                  const CommandLineRules& rules, Settings& settings) {
  CommandLineResult result;
  auto fail = [&](std::string message) {
    result.error = std::move(message);
    return result;
  };
  bool optionsEnd = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i].text;
    if (optionsEnd || word.size() < 2 || word[0] != '-') {
      if (!rules.operand) return fail("unknown option " + word);
      if (auto refused = rules.operand(args[i], i + 1)) return fail(*refused);
      continue;
    }
    if (word == "--") {
      optionsEnd = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      result.help = true;
      return result;
    }
    if (word == "--version") {
      result.version = true;
      return result;
    }
    std::string name = word;
    std::optional<OptionValue> value;
    if (word.rfind("--", 0) == 0) {
      if (const size_t eq = word.find('='); eq != std::string::npos) {
        name = word.substr(0, eq);
        value = OptionValue{word.substr(eq + 1), args[i].exact};
      }
    } else if (word.size() > 2) {
      name = word.substr(0, 2);
      value = OptionValue{word.substr(2), args[i].exact};
    }
    const CommandOption<Settings>* option = FindOption(table, name);
    if (!option) return fail("unknown option " + word);
    if (!(option->commands & rules.command))
      return fail(name + " is not an option of " + rules.commandName);
    if (!option->value && value) return fail(name + " takes no value");
    if (option->value && !value) {
      if (i + 1 >= args.size() || args[i + 1].text.rfind("--", 0) == 0)
        return fail(name + " needs a value (" + option->value + ")");
      value = args[++i];
    }
    const OptionValue given = value.value_or(OptionValue{});
    if (std::optional<std::string> why = option->apply(settings, given))
      return fail(rules.refusal ? rules.refusal(name, given.text, *why) : *why);
  }
  return result;
}

// The table's rows for a usage text: the option as shown, padded to `column`, then its help
// (later lines of it indented to the column too).
template <typename Settings>
std::string OptionRows(const std::vector<CommandOption<Settings>>& table, size_t column) {
  std::string out;
  for (const CommandOption<Settings>& o : table) {
    std::string head = "  ";
    if (o.shown) {
      head += o.shown;
    } else {
      head += o.name;
      if (o.alias) head += std::string(", ") + o.alias;
      if (o.value) head += std::string(" ") + o.value;
    }
    head.resize(std::max(head.size() + 1, column), ' ');
    std::string help = o.help;
    for (size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += column + 1)
      help.replace(at, 1, "\n" + std::string(column, ' '));
    out += head + help + "\n";
  }
  return out;
}

}  // namespace pellucor
