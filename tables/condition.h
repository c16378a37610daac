// Condition texts built from values.
//
// The key-driven operations of SharedTable compile the texts that keyFor and
// its companions return as query conditions (expression texts such as
// "NAME = 'ann'"). The expression language has no escape inside a text
// constant, and whatever follows a ")" or "," that closes nothing is ignored:
// a value pasted into a condition as it stands can end its constant early and
// change the condition (the value  ') .AND. .F.  does). Every text value that
// becomes part of a condition is therefore written with appendTextConstant.
#pragma once

#include <string>

// The opening and closing delimiter that enclose |value| as one text constant:
// "''" (single quotes), "\"\"" when it holds a single quote, "[]" when it holds
// both quotes. Null when it holds both quotes and a bracket: no delimiter can
// enclose it.
const char* textConstantDelimiters(const char* value);

// Appends |value| to |condition| as one text constant (delimiters as above).
// False, and nothing appended, for a value no delimiter can enclose; a null
// value appends nothing.
bool appendTextConstant(std::string& condition, const char* value);
