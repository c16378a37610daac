// Stand-ins for two routines of the table access layer (tables/).
//
// isBlank and reportException belong to the table layer's errors and reports;
// until migrate/ links against it, these local copies do the same work under
// other names. When the table layer lands, callers switch to isBlank and
// reportException and this file goes.
#pragma once

class CException;

// True for a null text and for one made only of blank, tab, newline,
// vertical tab, form feed and carriage return (the empty text included).
bool standinIsBlank(const char* text);

// Prints the exception's message unchanged (not as a format), or
// "CExcpetion without information" when it has none, and deletes it.
void standinReportException(CException* e);
