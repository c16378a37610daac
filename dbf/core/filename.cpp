// Full file names of engine files: absolute, with the default extension, the
// last component upper-cased. Two names refer to the same file when their
// full names are equal, which is how a context finds a data file it already
// has open.
#include <cstring>
#include <string>

#include "dbf/core/file.h"
#include "dbf/core/os.h"

namespace {

// Only ASCII letters: a byte-wise Latin-1 rule would break multi-byte names.
char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool isSeparator(char c) { return c == '/' || c == kOsSeparator; }

}  // namespace

int file4nameFull(char* out, int capacity, const char* name, const char* defaultExtension,
                  bool forceExtension) {
  if (out == nullptr || capacity <= 0 || name == nullptr) return -1;
  std::string given(name);
  while (!given.empty() && given.back() == ' ') given.pop_back();
  if (given.empty() || isSeparator(given.back())) return -1;
  const size_t lastStart = given.find_last_of(std::string("/") + kOsSeparator);
  const std::string lastGiven = given.substr(lastStart == std::string::npos ? 0 : lastStart + 1);
  if (lastGiven == "." || lastGiven == "..") return -1;

  std::string path(4096, '\0');
  int n = os4get()->fullPath(given.c_str(), path.data(), static_cast<int>(path.size()));
  if (n < 0) return -1;
  path.resize(static_cast<size_t>(n));
  while (!path.empty() && path.back() == ' ') path.pop_back();

  const size_t leaf = path.find_last_of(kOsSeparator) + 1;  // npos + 1 == 0
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot < leaf) dot = std::string::npos;
  if (defaultExtension != nullptr && *defaultExtension != '\0') {
    if (dot == std::string::npos) {
      path += '.';
      path += defaultExtension;
    } else if (forceExtension) {
      path.resize(dot + 1);
      path += defaultExtension;
    }
  }
  for (size_t i = leaf; i < path.size(); i++) path[i] = upperAscii(path[i]);

  if (path.size() + 1 > static_cast<size_t>(capacity)) return -1;
  memcpy(out, path.c_str(), path.size() + 1);
  return static_cast<int>(path.size());
}
