// Entry point of the Win32 test program: runs the tests named by the optional
// argument (a part of their name), or all of them.
#include <string>

#include "tests/setup/wine/wine_check.h"

int main(int argc, char** argv) { return wine_check::runAll(argc > 1 ? argv[1] : "") == 0 ? 0 : 1; }
