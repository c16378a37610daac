// Where dbftool's output goes: results on standard output, messages and
// progress on standard error. Progress is shown only when standard error is a
// terminal, so that scripts and redirected runs see nothing but messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace dbftool {

struct Console {
  FILE* out = stdout;
  FILE* err = stderr;
  bool showProgress = false;

  // "dbftool: <text>" on standard error, with a line end.
  void error(const std::string& text) const;
  void warning(const std::string& text) const;
};

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// |n| with thousands separators: 1,000,000.
std::string grouped(int64_t n);
// "1 record", "2 records": |n| grouped and the noun, plural unless n is 1.
std::string counted(int64_t n, const char* noun);
// |s| with its ASCII letters in upper case (column and tag names).
std::string upper(std::string s);

// A progress line on standard error, "<what>: 123,456 of 1,000,000 records
// (12%)", redrawn at most five times a second and erased when done. Does
// nothing unless the console shows progress.
class Progress {
 public:
  Progress(const Console& console, std::string what, int64_t total, const char* unit = "records");
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Cheap enough to call for every record: the clock is read every 4096 calls.
  void update(int64_t done) {
    if (enabled_ && (++calls_ & 4095) == 0) redraw(done);
  }
  // Shows |text| alone (for work that cannot count its steps).
  void status(const std::string& text);
  void finish();

 private:
  void redraw(int64_t done);
  void show(const std::string& line);

  const Console& console_;
  std::string what_;
  int64_t total_;
  const char* unit_;
  bool enabled_;
  bool shown_ = false;
  size_t width_ = 0;
  uint64_t calls_ = 0;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace dbftool
