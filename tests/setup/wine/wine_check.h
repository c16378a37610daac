// A small test runner for the Win32 tests of installhook that run under Wine
// (no GoogleTest there): tests register themselves, CHECK records failures
// without stopping, and the runner prints "N passed, M failed".
#pragma once

#include <string>

namespace wine_check {

using TestFunction = void (*)();

struct Registration {
  Registration(const char* name, TestFunction function);
};

// Records a failed check of the running test.
void fail(const char* file, int line, const std::string& what);

// Runs every registered test whose name contains `filter` (all when empty);
// returns the number of failed tests.
int runAll(const std::string& filter);

std::string quoted(const std::string& text);

}  // namespace wine_check

#define WINE_TEST(name)                                                \
  static void name();                                                  \
  static ::wine_check::Registration name##_registration(#name, &name); \
  static void name()

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) ::wine_check::fail(__FILE__, __LINE__, #condition); \
  } while (0)

#define CHECK_EQ(actual, expected)                                                   \
  do {                                                                               \
    const auto& check_actual_ = (actual);                                            \
    const auto& check_expected_ = (expected);                                        \
    if (!(check_actual_ == check_expected_))                                         \
      ::wine_check::fail(__FILE__, __LINE__,                                         \
                         std::string(#actual " == " #expected ": got ") +            \
                             ::wine_check::describe(check_actual_) + ", expected " + \
                             ::wine_check::describe(check_expected_));               \
  } while (0)

namespace wine_check {
inline std::string describe(const std::string& text) { return quoted(text); }
inline std::string describe(const char* text) { return text ? quoted(text) : "null"; }
template <typename T>
std::string describe(const T& value) {
  return std::to_string(value);
}
}  // namespace wine_check
