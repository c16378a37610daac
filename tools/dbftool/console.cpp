#include "tools/dbftool/console.h"

#include <cstdarg>

namespace dbftool {

void Console::error(const std::string& text) const {
  std::fprintf(err, "dbftool: %s\n", text.c_str());
}

void Console::warning(const std::string& text) const {
  std::fprintf(err, "dbftool: warning: %s\n", text.c_str());
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

std::string grouped(int64_t n) {
  const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  const std::string digits = std::to_string(magnitude);
  std::string out = n < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string counted(int64_t n, const char* noun) {
  return grouped(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

Progress::Progress(const Console& console, std::string what, int64_t total, const char* unit)
    : console_(console),
      what_(std::move(what)),
      total_(total),
      unit_(unit),
      enabled_(console.showProgress),
      last_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { finish(); }

void Progress::redraw(int64_t done) {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  std::string line = what_ + ": " + grouped(done);
  if (total_ > 0) {
    line += " of " + grouped(total_) + " " + unit_;
    line += format(" (%d%%)", static_cast<int>(done * 100 / total_));
  } else {
    line += std::string(" ") + unit_;
  }
  show(line);
}

void Progress::status(const std::string& text) {
  if (enabled_) show(what_ + ": " + text);
}

void Progress::show(const std::string& line) {
  std::string padded = line;
  if (padded.size() < width_) padded.append(width_ - padded.size(), ' ');
  width_ = padded.size();
  std::fprintf(console_.err, "\r%s", padded.c_str());
  std::fflush(console_.err);
  shown_ = true;
}

void Progress::finish() {
  if (!shown_) return;
  std::fprintf(console_.err, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(console_.err);
  shown_ = false;
  width_ = 0;
}

}  // namespace dbftool
