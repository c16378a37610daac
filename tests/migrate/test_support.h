// Helpers of the migration tests: scratch directories, running programs,
// small SQLite databases, and reading rows through the old-database reader.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "migrate/old_database.h"

// A fresh directory under the temporary directory, removed with its
// contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> list() const;  // names, sorted

 private:
  std::string path_;
};

// Makes dir the current directory for the object's life.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir);
  ~InDirectory();

 private:
  std::string previous_;
};

struct CommandResult {
  int status;          // exit status, or -1 when it did not exit normally
  std::string output;  // standard output
  std::string errors;  // standard error
};
// Runs program with arguments in directory dir, without a shell.
CommandResult runProgram(const std::string& dir, const std::vector<std::string>& argv);

// Runs SQL statements on an SQLite database file, creating it when missing.
void sqliteExec(const std::string& path, const std::string& sql);

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

// A value read through the old-database reader, described as "type:value"
// (texts as they are, dates as YYYY-MM-DD HH:MM:SS, NULL as "1:").
std::string describe(const VARIANT& v);

// Every row of a query, each value described.
std::vector<std::vector<std::string>> readAll(CDaoDatabase& db, const std::string& sql);

// The built programs and the fetched Access samples.
std::string dbmigrateProgram();
std::string sampleProgram();
std::string jetSampleDir();
