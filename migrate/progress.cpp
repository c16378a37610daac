// Progress of the table conversions on a terminal.
#include "migrate/progress.h"

#include <utility>

namespace {

constexpr std::chrono::milliseconds kQuietStart(1000);  // a quick table shows nothing
constexpr std::chrono::milliseconds kRedrawEvery(200);

// 1234567 as "1,234,567".
std::string grouped(int64_t n) {
  const std::string digits = std::to_string(n < 0 ? 0 : n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace

TerminalProgress::TerminalProgress(FILE* out, Clock clock)
    : out_(out), clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }) {}

TerminalProgress::~TerminalProgress() { erase(); }

void TerminalProgress::tableStarted(const char* table, int64_t totalRows) {
  erase();
  table_ = table != nullptr ? table : "";
  total_ = totalRows;
  started_ = clock_();
  drawn_ = started_;
}

void TerminalProgress::rowsDone(int64_t rows) {
  const auto now = clock_();
  if (now - started_ < kQuietStart || (width_ > 0 && now - drawn_ < kRedrawEvery)) return;
  drawn_ = now;
  draw(rows);
}

void TerminalProgress::tableFinished() { erase(); }

void TerminalProgress::draw(int64_t rows) {
  std::string line = table_ + ": " + grouped(rows);
  if (total_ >= 0) line += " of " + grouped(total_ > rows ? total_ : rows);
  line += " rows";
  // Blanks cover what a longer line before left on the screen.
  const size_t width = line.size();
  if (width < width_) line.append(width_ - width, ' ');
  std::fprintf(out_, "\r%s", line.c_str());
  std::fflush(out_);
  width_ = width > width_ ? width : width_;
}

void TerminalProgress::erase() {
  if (width_ == 0) return;
  std::fprintf(out_, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(out_);
  width_ = 0;
}
