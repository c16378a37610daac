// Path text as setup handles it: ANSI folders in 260-byte buffers.
#pragma once

#include <string>
#include <string_view>

namespace setup {

// The platform's path limit, terminator included.
constexpr std::size_t kMaxPath = 260;

// The first bytes of `text` that fit a 260-byte buffer with its terminator.
std::string limitPath(std::string_view text);

// Appends a backslash when `path` is non-empty and does not end in one;
// an empty path stays empty.
void appendBackslash(std::string& path);

// folder (limited to a path buffer), a backslash where needed, then `name`.
std::string filePathIn(std::string_view folder, std::string_view name);

}  // namespace setup
