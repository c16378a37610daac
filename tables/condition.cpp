// Condition texts built from values: the one place that knows how a value
// becomes a text constant of the expression language.
#include "tables/condition.h"

#include <cstring>

const char* textConstantDelimiters(const char* value) {
  const bool single = std::strchr(value, '\'') != nullptr;
  const bool dual = std::strchr(value, '"') != nullptr;
  if (!single) return "''";
  if (!dual) return "\"\"";
  return std::strpbrk(value, "[]") == nullptr ? "[]" : nullptr;
}

bool appendTextConstant(std::string& condition, const char* value) {
  if (value == nullptr) return true;
  const char* delimiters = textConstantDelimiters(value);
  if (delimiters == nullptr) return false;
  condition += delimiters[0];
  condition += value;
  condition += delimiters[1];
  return true;
}
