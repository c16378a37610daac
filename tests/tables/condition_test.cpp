// Values written into condition texts with appendTextConstant stay one text
// constant: compiled and evaluated, the constant gives back the value exactly,
// whatever quotes, brackets, parentheses and operators it holds; only a value
// with both quotes and a bracket is refused.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tables/condition.h"
#include "tests/expr/memory_table.h"

namespace {

TEST(Condition, EveryValueStaysOneConstantOrIsRefused) {
  MemoryTable t({{"NAME", 'C', 10, 0}});
  const char* pieces[] = {"a", "'", "\"", "[", "]", ")", "(", ",", " ", ".", ".AND.", ".F.", "+"};
  std::mt19937 random(9);
  for (int round = 0; round < 5000; ++round) {
    std::string value = round == 0 ? "') .AND. .F." : "";
    for (int n = static_cast<int>(random() % 10); n > 0; --n)
      value += pieces[random() % std::size(pieces)];
    std::string condition;
    if (!appendTextConstant(condition, value.c_str())) {
      EXPECT_NE(value.find('\''), std::string::npos) << value;
      EXPECT_NE(value.find('"'), std::string::npos) << value;
      EXPECT_NE(value.find_first_of("[]"), std::string::npos) << value;
      EXPECT_EQ(condition, "");
      continue;
    }
    EXPECT_EQ(t.text(condition.c_str()), value) << condition;
    EXPECT_EQ(t.logical(("NAME = " + condition + " .OR. .T.").c_str()), 1) << condition;
  }
}

}  // namespace
