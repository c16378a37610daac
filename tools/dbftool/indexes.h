// The production index in dbftool check and info: the structure of the .CDX
// (the engine's index4check), and the keys its tags hold against the keys the
// records make (every live record exactly once under its own key in every tag
// whose FOR expression it passes; nothing else).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dbf/index/check.h"

namespace dbftool {

class CheckSection;

// What the index section found, for info and the summary line.
struct IndexStatistics {
  bool present = false;     // an index file was read
  bool production = false;  // the table's header flags it as its production index
  std::string file;         // full name
  IndexCheckSummary summary{};
  std::vector<IndexCheckTag> tags;  // in directory order
  std::vector<std::string> kinds;   // per tag: the key type ("character", "numeric", ...)
  bool keysCompared = false;
};

// The section of check and info that reads the production index.
std::unique_ptr<CheckSection> makeIndexSection();

// The index part of info.
void printIndex(FILE* out, const IndexStatistics& index);

}  // namespace dbftool
