// OldTableFiles: the files of an existing table while dbmigrate replaces it.
//
// A table is replaced by creating it afresh. Its old .DBF, .FPT and .CDX
// files must not be lost when the new table cannot be made, so they are
// first renamed aside (to "<name>.DBMIGRATE-OLD" beside them), and only
// removed once the new table exists; when creation fails they are put back
// under their old names. Nothing is set aside unless all of them can be:
// a file that another program has open, that is no plain file, or whose
// name matches several files when case is ignored stops the replacement
// before anything is touched.
//
// A run killed half-way leaves aside files behind; the next run uses them as
// the old files of a table whose own name is free, and removes them as stale
// where the table's files exist again.
#pragma once

#include <string>
#include <vector>

#include "dbf/core/os.h"

// What an operating-system failure means, in words for the administrator.
const char* osFailureText(OsStatus status);

class OldTableFiles {
 public:
  // The files of the table at |tablePath| (directory prefix and name,
  // without extension, as SharedTable keeps it).
  explicit OldTableFiles(const char* tablePath);

  // Renames every existing file of the table aside. False, with nothing
  // renamed (or everything renamed back) and problem() saying why, when
  // that cannot be done for all of them.
  bool setAside();
  // Puts every aside file back under the table's name, where that name is
  // free. Called after the new table could not be created.
  void restore();
  // Removes the aside files. Called once the new table exists.
  void discard();

  const std::string& problem() const { return problem_; }

 private:
  struct File {
    std::string name;   // the engine's full name, e.g. /dir/USERBASE.DBF
    std::string found;  // the name it was found under (its case may differ)
    std::string aside;  // name + ".DBMIGRATE-OLD"
    bool moved = false;
  };
  bool check(File& file);

  std::vector<File> files_;
  std::string problem_;
};
