// Exceptions of the old-database component.
//
// The Ploverix database was read through DAO, whose failures arrive as MFC
// exceptions: thrown by pointer, and whoever catches one disposes of it with
// Delete(). This is the small part of that hierarchy the migration relies on.
// The table layer's reportException takes a CException*; keep the name and
// the virtual signatures below as they are.
#pragma once

#include <string>

class CException {
public:
    virtual ~CException();

    // Copies the message into buffer (at most maxLength - 1 characters plus a
    // NUL) and returns true; returns false, leaving an empty buffer, when the
    // exception carries no message. helpContext, when given, receives 0.
    virtual bool GetErrorMessage(char* buffer, unsigned maxLength,
                                 unsigned* helpContext = nullptr);

    // Destroys the exception. Catchers call this instead of delete.
    virtual void Delete();

protected:
    CException() = default;
    CException(const CException&) = delete;
    CException& operator=(const CException&) = delete;
};

// A failure of the database engine, with a Jet-style error number and text.
class CDaoException : public CException {
public:
    CDaoException(int errorCode, std::string message);

    bool GetErrorMessage(char* buffer, unsigned maxLength,
                         unsigned* helpContext = nullptr) override;

    int errorCode() const { return code_; }
    const std::string& message() const { return message_; }

private:
    int code_;
    std::string message_;
};

// Jet error numbers used by the backends, so that messages read as DAO's did.
enum : int {
    kDaoCannotOpen = 3024,       // could not find or open the database file
    kDaoUnrecognizedFile = 3343, // not a database of a known format
    kDaoItemNotFound = 3265,     // no such table, column or position
    kDaoNoCurrentRecord = 3021,  // read or move past the last row
    kDaoFieldExists = 3191,      // add field: the name is taken
    kDaoSyntaxError = 3075,      // statement the engine cannot run
    kDaoReadOnly = 3027,         // cannot update: database is read-only
    kDaoEngineError = 3146,      // any other engine failure
    kDaoNotOpen = 3420,          // object invalid or no longer set
};

// Throws a new CDaoException by pointer.
[[noreturn]] void throwDaoException(int errorCode, const std::string& message);
