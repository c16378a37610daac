// Heap texts of the table access layer.
#include "tables/text.h"

#include <cstdlib>
#include <cstring>

char* copyText(const char* text, std::size_t length) {
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  if (length > 0) std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* copyText(const char* text) {
  if (text == nullptr) return nullptr;
  return copyText(text, std::strlen(text));
}

void freeText(char* text) { std::free(text); }
