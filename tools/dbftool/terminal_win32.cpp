#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "tools/dbftool/terminal.h"

namespace dbftool {

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

// CSV lines end in CRLF already; text mode would make that CR CR LF.
void useBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace dbftool
