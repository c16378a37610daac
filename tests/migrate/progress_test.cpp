// Progress on a terminal: silent for a quick table, then one line redrawn a
// few times a second, erased when the table is done.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "migrate/progress.h"

namespace {

using std::chrono::milliseconds;

// A terminal line as the bytes written leave it: a carriage return goes back
// to the start, other characters overwrite.
struct Screen {
  std::string line;
  size_t column = 0;
  void show(const std::string& bytes) {
    for (char c : bytes) {
      if (c == '\r') {
        column = 0;
        continue;
      }
      if (column < line.size())
        line[column] = c;
      else
        line.push_back(c);
      ++column;
    }
  }
  std::string visible() const { return line.substr(0, line.find_last_not_of(' ') + 1); }
};

class TerminalProgressTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(file_, nullptr); }
  void TearDown() override { std::fclose(file_); }
  TerminalProgress::Clock clock() {
    return [this] { return std::chrono::steady_clock::time_point(now_); };
  }
  // What was written since the last call.
  std::string written() {
    std::fflush(file_);
    std::string out;
    std::fseek(file_, static_cast<long>(read_), SEEK_SET);
    for (int c; (c = std::fgetc(file_)) != EOF;) out.push_back(static_cast<char>(c));
    read_ += out.size();
    return out;
  }
  FILE* file_ = std::tmpfile();
  size_t read_ = 0;
  std::chrono::steady_clock::duration now_{};
};

TEST_F(TerminalProgressTest, QuickTableShowsNothing) {
  TerminalProgress progress(file_, clock());
  progress.tableStarted("UserBase", 500);
  for (int row = 1; row <= 500; ++row) {
    now_ += milliseconds(1);
    progress.rowsDone(row);
  }
  progress.tableFinished();
  EXPECT_EQ(written(), "");
}

TEST_F(TerminalProgressTest, LongTableIsShownAFewTimesASecondAndErased) {
  Screen screen;
  TerminalProgress progress(file_, clock());
  progress.tableStarted("MailBox", 300000);
  int draws = 0;
  for (int row = 1; row <= 3000; ++row) {  // three seconds
    now_ += milliseconds(1);
    progress.rowsDone(row);
    const std::string bytes = written();
    if (bytes.empty()) continue;
    ++draws;
    screen.show(bytes);
    std::string digits;
    for (char c : screen.visible().substr(9)) {
      if (c == ' ') break;
      if (c != ',') digits.push_back(c);
    }
    EXPECT_EQ(screen.visible().rfind("MailBox: ", 0), 0u);
    EXPECT_EQ(digits, std::to_string(row));
    EXPECT_NE(screen.visible().find(" of 300,000 rows"), std::string::npos);
    EXPECT_GE(row, 1000);  // nothing in the first second
  }
  EXPECT_GE(draws, 8);
  EXPECT_LE(draws, 11);  // at most five a second over two seconds
  progress.tableFinished();
  screen.show(written());
  EXPECT_EQ(screen.visible(), "");
  EXPECT_EQ(screen.column, 0u);
}

TEST_F(TerminalProgressTest, UnknownTotalAndAShorterNextLine) {
  Screen screen;
  TerminalProgress progress(file_, clock());
  progress.tableStarted("MailingListTitles", -1);
  now_ += milliseconds(1500);
  progress.rowsDone(123456);
  screen.show(written());
  EXPECT_EQ(screen.visible(), "MailingListTitles: 123,456 rows");
  // A table that starts while a line is shown clears it first.
  progress.tableStarted("AliasSystem", 7);
  now_ += milliseconds(1500);
  progress.rowsDone(5);
  screen.show(written());
  EXPECT_EQ(screen.visible(), "AliasSystem: 5 of 7 rows");
}

}  // namespace
