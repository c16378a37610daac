#include "tools/dbftool/cli.h"

#include <cstring>

namespace dbftool {

namespace {

const std::vector<const CommandSpec*>& commands() {
  static const std::vector<const CommandSpec*> all = {
      &infoCommand(),         &dumpCommand(),    &checkCommand(), &packCommand(),
      &compressMemoCommand(), &reindexCommand(), &indexCommand(),
  };
  return all;
}

const CommandSpec* findCommand(const std::string& name) {
  for (const CommandSpec* c : commands())
    if (name == c->name) return c;
  return nullptr;
}

void printOverview(FILE* to) {
  std::fprintf(to,
               "Usage: dbftool COMMAND TABLE [options]\n"
               "\n"
               "Looks into, checks and maintains the server's tables (.DBF with their .FPT\n"
               "memo files and .CDX indexes). TABLE is a data file, named with or without\n"
               ".DBF.\n"
               "\n"
               "Commands:\n");
  for (const CommandSpec* c : commands()) std::fprintf(to, "  %-14s %s\n", c->name, c->summary);
  std::fprintf(to,
               "\n"
               "'dbftool COMMAND --help' describes a command. Exit status: 0 success, 1\n"
               "failure (check: problems found), 2 a wrong command line.\n");
}

void printCommandHelp(const CommandSpec& c, FILE* to) {
  std::fprintf(to, "Usage: dbftool %s TABLE%s\n\n%s.\n", c.name,
               c.options.empty() ? "" : " [options]", c.summary);
  if (c.details != nullptr) std::fprintf(to, "\n%s", c.details);
  std::fprintf(to, "\nOptions:\n");
  for (const OptionSpec& o : c.options) {
    std::string left = std::string("--") + o.name;
    if (o.valueName != nullptr) left += std::string(" ") + o.valueName;
    std::fprintf(to, "  %-20s %s\n", left.c_str(), o.help);
  }
  std::fprintf(to, "  %-20s %s\n", "--help", "show this help");
}

const OptionSpec* findOption(const std::vector<OptionSpec>& options, const std::string& name) {
  for (const OptionSpec& o : options)
    if (name == o.name) return &o;
  return nullptr;
}

// Parses the arguments after the command name into |call|; 0, or the exit
// status when the parse ends the run (help shown, usage error).
int parseArguments(const std::vector<std::string>& args, Invocation& call, bool* helpShown) {
  const CommandSpec& c = *call.command;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      printCommandHelp(c, call.console->out);
      *helpShown = true;
      return kExitOk;
    }
    if (a.compare(0, 2, "--") != 0) return call.usageError("unknown option '" + a + "'");
    const size_t eq = a.find('=');
    const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const OptionSpec* o = findOption(c.options, name);
    if (o == nullptr) return call.usageError("unknown option '--" + name + "'");
    if (call.has(o->name)) return call.usageError("option '--" + name + "' given twice");
    if (o->valueName == nullptr) {
      if (eq != std::string::npos) return call.usageError("option '--" + name + "' takes no value");
      call.values[o->name] = "";
    } else if (eq != std::string::npos) {
      call.values[o->name] = a.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      call.values[o->name] = args[++i];
    } else {
      return call.usageError("option '--" + name + "' needs a value (" + o->valueName + ")");
    }
  }
  if (positional.empty()) return call.usageError("no table named");
  if (positional.size() > 1) return call.usageError("one table only ('" + positional[1] + "'?)");
  call.table = positional[0];
  return kExitOk;
}

}  // namespace

bool Invocation::count(const char* option, int64_t* n) const {
  const std::string& text = value(option);
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *n = std::stoll(text);
  return true;
}

int Invocation::usageError(const std::string& text) const {
  std::fprintf(console->err, "dbftool %s: %s\nTry 'dbftool %s --help'.\n", command->name,
               text.c_str(), command->name);
  return kExitUsage;
}

int runCommandLine(const std::vector<std::string>& args, const Console& console) {
  if (args.empty()) {
    printOverview(console.err);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    if (args[0] == "help" && args.size() > 1) {
      if (const CommandSpec* c = findCommand(args[1])) {
        printCommandHelp(*c, console.out);
        return kExitOk;
      }
    }
    printOverview(console.out);
    return kExitOk;
  }
  const CommandSpec* command = findCommand(args[0]);
  if (command == nullptr) {
    std::fprintf(console.err, "dbftool: unknown command '%s'\nTry 'dbftool --help'.\n",
                 args[0].c_str());
    return kExitUsage;
  }
  Invocation call{command, &console, {}, {}};
  bool helpShown = false;
  const int status = parseArguments(args, call, &helpShown);
  if (status != kExitOk || helpShown) return status;
  return command->run(call);
}

}  // namespace dbftool
