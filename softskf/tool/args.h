// Command-line parsing for the softskf tool: a table of commands, each with
// its words ("app create"), positional arguments and options, matched against
// argv. Parsing has no side effects; the caller prints usage or runs.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace softskf_tool {

struct OptionDef {
  std::string name;   // without the leading "--"
  std::string value;  // placeholder of its value; empty for a flag
  std::string help;
};

struct CommandDef {
  std::vector<std::string> words;        // e.g. {"app", "create"}
  // Placeholders; one written in brackets ("[PIN]") may be left out, and
  // only trailing ones are written so.
  std::vector<std::string> positionals;
  std::vector<OptionDef> options;
  std::vector<std::string> required;     // options that must be given
  std::string summary;
};

struct Invocation {
  const CommandDef* command = nullptr;
  std::vector<std::string> args;               // positionals, in order
  std::map<std::string, std::string> options;  // flags map to ""
  bool help = false;                           // --help was asked for

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  std::string Get(const std::string& option, const std::string& fallback = "") const;
};

// Thrown for a command line that does not match the table; `command` is the
// command it was aimed at when that is known, for a usage hint.
struct UsageError {
  std::string message;
  const CommandDef* command = nullptr;
};

// Matches argv (without the program name) against the table. A bare --help
// (or an empty argv) gives an invocation without a command and help set.
Invocation Parse(const std::vector<CommandDef>& table, const std::vector<std::string>& argv);

std::string UsageLine(const CommandDef& command);   // "softskf app create NAME --pin PIN ..."
std::string CommandHelp(const CommandDef& command);  // usage line, summary, options
std::string OverallHelp(const std::vector<CommandDef>& table);

}  // namespace softskf_tool
