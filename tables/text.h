// Heap texts handed across the table access layer.
//
// Texts that the layer hands out (column values, record texts) and the key
// texts that SharedTable subclasses hand in are separate heap blocks owned by
// whoever receives them, allocated and freed with the C library (malloc and
// free), so that either side may release them.
#pragma once

#include <cstddef>
#include <memory>

// True for the white space of the C locale: blank, tab, newline, vertical tab,
// form feed and carriage return. Characters with the high bit set never are.
inline bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A new heap text holding the first |length| bytes of |text| and a NUL; null
// when memory runs out.
char* copyText(const char* text, std::size_t length);

// A new heap copy of the NUL-terminated |text|; null for a null text.
char* copyText(const char* text);

// Frees a text handed out by the layer (null is allowed).
void freeText(char* text);

// Owns a heap text for the lifetime of a scope.
struct TextDeleter {
  void operator()(char* text) const { freeText(text); }
};
using OwnedText = std::unique_ptr<char, TextDeleter>;
