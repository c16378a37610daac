// dbftool: the administrator's tool for the server's tables. See cli.h for
// the command line and the README for examples.
#include <string>
#include <vector>

#include "tools/dbftool/cli.h"
#include "tools/dbftool/terminal.h"

int main(int argc, char** argv) {
  dbftool::useBinaryStdout();
  dbftool::Console console;
  console.showProgress = dbftool::stderrIsTerminal();
  return dbftool::runCommandLine(std::vector<std::string>(argv + 1, argv + argc), console);
}
