// The Wine test runner: registration, failure records and the closing line.
#include "tests/setup/wine/wine_check.h"

#include <cstdio>
#include <vector>

namespace wine_check {

namespace {

struct Test {
  const char* name;
  TestFunction function;
};

std::vector<Test>& tests() {
  static std::vector<Test> all;
  return all;
}

int failuresOfCurrentTest = 0;

}  // namespace

Registration::Registration(const char* name, TestFunction function) {
  tests().push_back({name, function});
}

void fail(const char* file, int line, const std::string& what) {
  ++failuresOfCurrentTest;
  std::printf("  %s:%d: %s\n", file, line, what.c_str());
  std::fflush(stdout);
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c >= 127) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int runAll(const std::string& filter) {
  int passed = 0;
  int failed = 0;
  for (const Test& test : tests()) {
    if (!filter.empty() && std::string(test.name).find(filter) == std::string::npos) continue;
    std::printf("[ RUN  ] %s\n", test.name);
    std::fflush(stdout);
    failuresOfCurrentTest = 0;
    test.function();
    if (failuresOfCurrentTest == 0) {
      ++passed;
      std::printf("[  OK  ] %s\n", test.name);
    } else {
      ++failed;
      std::printf("[ FAIL ] %s\n", test.name);
    }
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}

}  // namespace wine_check
