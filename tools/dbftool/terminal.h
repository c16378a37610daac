// The little dbftool needs to know about its console that differs between
// systems. terminal_posix.cpp and terminal_win32.cpp implement it; CMake
// compiles the one of the platform.
#pragma once

namespace dbftool {

// True when standard error is a terminal (progress is shown only there).
bool stderrIsTerminal();
// Makes standard output carry bytes unchanged (no line-end translation).
void useBinaryStdout();

}  // namespace dbftool
