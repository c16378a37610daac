// Failures as the application sees them: GDatabaseException for the DBF
// engine's errors, the CException base of the old-database component's
// exceptions, and the routines that raise and dispose of both.
//
// Exceptions travel by pointer: `throw new GDatabaseException(code)`. Whoever
// catches one owns it and must dispose of it (reportDatabaseError and
// reportException do).
#pragma once

// An engine failure, carrying the error code that the thread's engine context
// held when it was thrown (a negative engine code), or 10 when a Query could
// not be created.
class GDatabaseException {
 public:
  explicit GDatabaseException(int errorCode) : code(errorCode) {}
  virtual ~GDatabaseException();

  int code;
};

// The code carried by a GDatabaseException for a Query that could not be made.
inline constexpr int kQueryNotCreated = 10;

// Base of the exceptions thrown by the old-database component (the MFC
// CException of the DAO classes). Derived classes supply their message;
// Delete() disposes of the object (the default deletes it) and is what a
// catcher calls, exactly once, instead of delete.
class CException {
 public:
  virtual ~CException() = default;

  // Writes the exception's message, NUL-terminated and cut to |maxLength| - 1
  // characters, into |buffer| and returns true; returns false, leaving an empty
  // buffer, when the exception has no message (the base has none).
  // |helpContext|, when given, receives 0.
  virtual bool GetErrorMessage(char* buffer, unsigned maxLength, unsigned* helpContext = nullptr);

  virtual void Delete();

 protected:
  CException() = default;
  CException(const CException&) = delete;
  CException& operator=(const CException&) = delete;
};

// Throws a new GDatabaseException carrying the thread context's error code when
// that code is negative. A zero or positive code (end of file, not found, ...)
// throws nothing. The code stays in the context until the next create or open
// clears it, so every check until then throws again.
void checkEngineError();

// Disposes of an old-database exception: asks it for its message (256
// characters at most), deletes it, then prints the message unchanged on
// standard output, or "CExcpetion without information" when it had none. The
// message is printed as text, never used as a format. A null exception prints
// the fallback text.
void reportException(CException* exception);

// Disposes of a database exception: composes "DBF Error [%d]" with its code
// and deletes it. The text is not printed; it stays readable through
// lastDatabaseErrorText() on the same thread until the next report.
void reportDatabaseError(GDatabaseException* exception);

// The text composed by the last reportDatabaseError of this thread ("" before
// the first one).
const char* lastDatabaseErrorText();

// True for a null text and for a text made only of white space (blank, tab,
// newline, vertical tab, form feed, carriage return), the empty text included.
bool isBlank(const char* text);
