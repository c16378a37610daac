// Engine failures become GDatabaseException; caught exceptions are disposed of
// here, with the console messages the application is known by.
#include "tables/errors.h"

#include <cstdio>

#include "tables/context.h"
#include "tables/text.h"

namespace {

constexpr unsigned kMessageSize = 256;

thread_local char lastDatabaseError[kMessageSize] = "";

}  // namespace

GDatabaseException::~GDatabaseException() = default;

bool CException::GetErrorMessage(char* buffer, unsigned maxLength, unsigned* helpContext) {
  if (buffer != nullptr && maxLength > 0) buffer[0] = '\0';
  if (helpContext != nullptr) *helpContext = 0;
  return false;
}

void CException::Delete() { delete this; }

void checkEngineError() {
  EngineContext* ctx = currentContext();
  if (ctx != nullptr && ctx->errorCode < 0) throw new GDatabaseException(ctx->errorCode);
}

void reportException(CException* exception) {
  char message[kMessageSize] = "";
  bool hasMessage = false;
  if (exception != nullptr) {
    hasMessage = exception->GetErrorMessage(message, kMessageSize, nullptr);
    exception->Delete();
  }
  // The exception's own code filled the buffer; make sure it ends inside it.
  message[kMessageSize - 1] = '\0';
  if (hasMessage && message[0] != '\0') {
    std::printf("%s", message);
  } else {
    std::printf("CExcpetion without information");
  }
}

void reportDatabaseError(GDatabaseException* exception) {
  int code = exception != nullptr ? exception->code : 0;
  std::snprintf(lastDatabaseError, kMessageSize, "DBF Error [%d]", code);
  delete exception;
}

const char* lastDatabaseErrorText() { return lastDatabaseError; }

bool isBlank(const char* text) {
  if (text == nullptr) return true;
  for (; *text != '\0'; ++text) {
    if (!isWhiteSpace(*text)) return false;
  }
  return true;
}
