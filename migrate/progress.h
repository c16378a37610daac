// Progress of the table conversions, for an administrator who watches a long
// run. Standard output carries only the program's designed lines, so progress
// goes to standard error, and only when that is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// What a converter tells while it converts its table: the start (with the old
// table's row count, or -1 when the old database cannot tell), the rows done
// so far after each row, and the end.
class ConversionProgress {
 public:
  virtual ~ConversionProgress() = default;
  virtual void tableStarted(const char* table, int64_t totalRows) = 0;
  virtual void rowsDone(int64_t rows) = 0;
  virtual void tableFinished() = 0;
};

// Progress as one line on a terminal: "MailBox: 12,345 of 300,000 rows",
// shown only once a table has taken more than a second, redrawn at most five
// times a second, and erased when the table is done, so that a run that ends
// quickly shows nothing and a finished run leaves nothing behind.
class TerminalProgress : public ConversionProgress {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // |clock| (tests give their own) defaults to the steady clock.
  explicit TerminalProgress(FILE* out, Clock clock = nullptr);
  ~TerminalProgress() override;

  void tableStarted(const char* table, int64_t totalRows) override;
  void rowsDone(int64_t rows) override;
  void tableFinished() override;

 private:
  void draw(int64_t rows);
  void erase();

  FILE* out_;
  Clock clock_;
  std::string table_;
  int64_t total_ = -1;
  std::chrono::steady_clock::time_point started_, drawn_;
  size_t width_ = 0;  // characters of the line on the screen; 0 when none
};

// True when standard error is a terminal (console_posix.cpp,
// console_win32.cpp).
bool stderrIsTerminal();
