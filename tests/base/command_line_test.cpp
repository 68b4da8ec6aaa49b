#include "base/command_line.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

struct Got {
  std::string dir;
  int jobs = 0;
  bool json = false;
  std::vector<std::string> operands;
};

const std::vector<CommandOption<Got>>& Table() {
  static const std::vector<CommandOption<Got>> table = {
      {"-d", "--dir", "DIR", "where", 3,
       [](Got& g, const OptionValue& v) -> std::optional<std::string> {
         if (!v.exact) return "not a path";
         g.dir = v.text;
         return std::nullopt;
       }},
      {"-j", nullptr, "N", "how many\nat once", 3,
       [](Got& g, const OptionValue& v) -> std::optional<std::string> {
         if (v.text != "1" && v.text != "2") return "1 or 2";
         g.jobs = v.text[0] - '0';
         return std::nullopt;
       }},
      {"--json", nullptr, nullptr, "JSON", 1,
       [](Got& g, const OptionValue&) -> std::optional<std::string> {
         g.json = true;
         return std::nullopt;
       }},
  };
  return table;
}

// Every way both programs write options, and each refusal's words.
TEST(CommandLine, ReadsEveryFormAndSaysWhatIsWrong) {
  const struct {
    std::vector<std::string> args;
    std::string error;  // empty: read
    Got want;
  } cases[] = {
      {{"-d", "x", "-j2", "--json", "a"}, "", {"x", 2, true, {"a@5"}}},
      {{"--dir=x", "-j", "1", "-", "--", "--json"}, "", {"x", 1, false, {"-@4", "--json@6"}}},
      {{"--dir", "--json"}, "--dir needs a value (DIR)", {}},
      {{"-j"}, "-j needs a value (N)", {}},
      {{"--dir=--json"}, "", {"--json", 0, false, {}}},
      {{"--json=yes"}, "--json takes no value", {}},
      {{"--frob"}, "unknown option --frob", {}},
      {{"-x1"}, "unknown option -x1", {}},
      {{"-j", "3"}, "-j 3: 1 or 2", {}},
      {{"-d", "x"}, "", {"x", 0, false, {}}},
  };
  for (const auto& c : cases) {
    Got got;
    CommandLineRules rules;
    rules.command = 1;
    rules.operand = [&got](const OptionValue& v, size_t at) -> std::optional<std::string> {
      got.operands.push_back(v.text + "@" + std::to_string(at));
      return std::nullopt;
    };
    rules.refusal = [](std::string_view name, std::string_view value, std::string_view why) {
      return std::string(name) + " " + std::string(value) + ": " + std::string(why);
    };
    std::vector<OptionValue> words;
    for (const std::string& a : c.args) words.push_back({a, true});
    const CommandLineResult read = ReadCommandLine(words, Table(), rules, got);
    EXPECT_EQ(read.error.value_or(""), c.error) << c.args[0];
    if (!c.error.empty()) continue;
    EXPECT_EQ(got.dir, c.want.dir) << c.args[0];
    EXPECT_EQ(got.jobs, c.want.jobs) << c.args[0];
    EXPECT_EQ(got.json, c.want.json) << c.args[0];
    EXPECT_EQ(got.operands, c.want.operands) << c.args[0];
  }
  Got got;
  CommandLineRules other;
  other.command = 2;
  other.commandName = "import";
  EXPECT_EQ(ReadCommandLine({{"--json", true}}, Table(), other, got).error,
            "--json is not an option of import");
  EXPECT_EQ(ReadCommandLine({{"a", true}}, Table(), other, got).error, "unknown option a");
  EXPECT_EQ(ReadCommandLine({{"-d", false}, {"x", false}}, Table(), other, got).error,
            "not a path");
  EXPECT_TRUE(ReadCommandLine({{"-j", true}, {"1", true}, {"-h", true}, {"--bogus", true}}, Table(),
                              other, got)
                  .help);
  EXPECT_EQ(OptionRows(Table(), 12),
            "  -d, --dir DIR where\n  -j N      how many\n            at once\n  --json    JSON\n");
}

}  // namespace
}  // namespace pellucor
