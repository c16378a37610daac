#include <unistd.h>

#include "tools/dbftool/terminal.h"

namespace dbftool {

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void useBinaryStdout() {}  // POSIX streams never translate line ends

}  // namespace dbftool
