// Exceptions of the old-database component: the DAO exception and its message.
#include "migrate/old_db_exception.h"

#include <cstring>
#include <utility>

CDaoException::CDaoException(int errorCode, std::string message)
    : code_(errorCode), message_(std::move(message)) {}

bool CDaoException::GetErrorMessage(char* buffer, unsigned maxLength, unsigned* helpContext) {
  if (helpContext) *helpContext = 0;
  if (!buffer || maxLength == 0) return false;
  if (message_.empty()) {
    buffer[0] = '\0';
    return false;
  }
  size_t n = message_.size() < maxLength - 1 ? message_.size() : maxLength - 1;
  std::memcpy(buffer, message_.data(), n);
  buffer[n] = '\0';
  return true;
}

// The messages end with a newline: they are printed as they stand, one after
// the other, on the console.
void throwDaoException(int errorCode, const std::string& message) {
  if (!message.empty() && message.back() != '\n')
    throw new CDaoException(errorCode, message + "\n");
  throw new CDaoException(errorCode, message);
}
