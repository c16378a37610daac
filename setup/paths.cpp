// Path text helpers of setup.
#include "setup/paths.h"

namespace setup {

std::string limitPath(std::string_view text) { return std::string(text.substr(0, kMaxPath - 1)); }

void appendBackslash(std::string& path) {
  if (!path.empty() && path.back() != '\\') path += '\\';
}

std::string filePathIn(std::string_view folder, std::string_view name) {
  std::string path = limitPath(folder);
  appendBackslash(path);
  path += name;
  return path;
}

}  // namespace setup
