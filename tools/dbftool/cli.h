// dbftool's command line: dbftool COMMAND TABLE [options].
//
// Each command describes itself (name, one-line summary, further help, its
// options) and runs with the parsed invocation. Options may stand before or
// after the table name, as --name VALUE or --name=VALUE; "--" ends them.
// Exit status: 0 success (check: the table is sound), 1 failure (check: the
// table has problems), 2 a usage error.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/dbftool/console.h"

namespace dbftool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct OptionSpec {
  const char* name;       // without the leading "--"
  const char* valueName;  // null for a flag
  const char* help;
};

struct Invocation;

struct CommandSpec {
  const char* name;
  const char* summary;
  const char* details;  // further paragraphs of --help, or null
  std::vector<OptionSpec> options;
  int (*run)(const Invocation& call);
};

struct Invocation {
  const CommandSpec* command;
  const Console* console;
  std::string table;
  std::map<std::string, std::string> values;  // flags map to ""

  bool has(const char* option) const { return values.count(option) != 0; }
  const std::string& value(const char* option) const { return values.at(option); }
  // The value of |option| as a count (decimal digits only, 0 or more);
  // false when it is not one.
  bool count(const char* option, int64_t* n) const;
  // Reports a usage error of this command on standard error; returns 2.
  int usageError(const std::string& text) const;
};

// The commands, in the order --help lists them.
const CommandSpec& infoCommand();
const CommandSpec& dumpCommand();
const CommandSpec& checkCommand();
const CommandSpec& packCommand();
const CommandSpec& compressMemoCommand();
const CommandSpec& reindexCommand();
const CommandSpec& indexCommand();

// Runs the command line |args| (without the program name).
int runCommandLine(const std::vector<std::string>& args, const Console& console);

}  // namespace dbftool
