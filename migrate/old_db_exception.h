// Exceptions of the old-database component.
//
// The Ploverix database was read through DAO, whose failures arrive as MFC
// exceptions: thrown by pointer, and whoever catches one disposes of it with
// Delete(). The base class, CException, lives with the table layer's error
// routines (reportException takes it); the component throws CDaoException.
#pragma once

#include <string>

#include "tables/errors.h"

// A failure of the database engine, with a Jet-style error number and text.
class CDaoException : public CException {
 public:
  CDaoException(int errorCode, std::string message);

  bool GetErrorMessage(char* buffer, unsigned maxLength, unsigned* helpContext = nullptr) override;

  int errorCode() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  int code_;
  std::string message_;
};

// Jet error numbers used by the backends, so that messages read as DAO's did.
enum : int {
  kDaoCannotOpen = 3024,        // could not find or open the database file
  kDaoUnrecognizedFile = 3343,  // not a database of a known format
  kDaoItemNotFound = 3265,      // no such table, column or position
  kDaoNoCurrentRecord = 3021,   // read or move past the last row
  kDaoFieldExists = 3191,       // add field: the name is taken
  kDaoSyntaxError = 3075,       // statement the engine cannot run
  kDaoReadOnly = 3027,          // cannot update: database is read-only
  kDaoEngineError = 3146,       // any other engine failure
  kDaoNotOpen = 3420,           // object invalid or no longer set
};

// Throws a new CDaoException by pointer.
[[noreturn]] void throwDaoException(int errorCode, const std::string& message);
