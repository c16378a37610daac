#include <io.h>
#include <stdio.h>

#include "migrate/progress.h"

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
