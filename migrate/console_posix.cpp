#include <unistd.h>

#include "migrate/progress.h"

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
