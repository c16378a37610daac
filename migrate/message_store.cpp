// The message store: message file names and moves, the search condition and
// the lookup of a message in the new MessageBag table.
#include "migrate/message_store.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "dbf/core/os.h"
#include "dbf/expr/query.h"
#include "dbf/index/index.h"
#include "migrate/converter.h"
#include "migrate/new_tables.h"
#include "tables/condition.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/table_handle.h"

// Both names are formatted as the Windows wsprintfA formats them: upper-case
// hexadecimal of the unsigned 32-bit value, zero-padded to the width (which
// is a minimum). snprintf gives the same digits for these directives.
void oldMessageFileName(char* buffer, int32_t id1, int32_t id2, int32_t id3) {
  std::snprintf(buffer, kMessageNameSize, "A%08X%08X%03X.MSG", static_cast<uint32_t>(id1),
                static_cast<uint32_t>(id2), static_cast<uint32_t>(id3) & 0xFFFFu);
}

void newMessageFileName(char* buffer, int32_t id1, int32_t id2, int32_t id3) {
  std::snprintf(buffer, kMessageNameSize, "B%08X%08X%08X.MSG", static_cast<uint32_t>(id1),
                static_cast<uint32_t>(id2), static_cast<uint32_t>(id3));
}

namespace {

// Whether a message file is there: kOsOk, kOsNotFound or kOsAmbiguous (the
// matching names then in |names|).
OsStatus findMessageFile(const char* name, std::string* names) {
  char found[4 * kMessageNameSize];
  OsStatus status = os4get()->findExisting(name, found, sizeof found);
  if (status == kOsAmbiguous) *names = found;
  return status == kOsOk || status == kOsAmbiguous ? status : kOsNotFound;
}

}  // namespace

MessageMove moveMessageFile(int32_t id1, int32_t id2, int32_t id3, std::string* problem) {
  char oldName[kMessageNameSize], newName[kMessageNameSize];
  oldMessageFileName(oldName, id1, id2, id3);
  newMessageFileName(newName, id1, id2, id3);
  OsStatus renamed = os4get()->rename(oldName, newName, false);
  if (renamed == kOsOk) return MessageMove::Moved;
  std::string oldMatches, newMatches, text;
  OsStatus oldFile = findMessageFile(oldName, &oldMatches);
  OsStatus newFile = findMessageFile(newName, &newMatches);
  MessageMove move = MessageMove::Missing;
  if (oldFile == kOsAmbiguous || newFile == kOsAmbiguous) {
    move = MessageMove::Ambiguous;
    const char* name = oldFile == kOsAmbiguous ? oldName : newName;
    text = std::string("several files match message file ") + name +
           " when case is ignored: " + (oldFile == kOsAmbiguous ? oldMatches : newMatches);
  } else if (oldFile == kOsOk && newFile == kOsOk) {
    move = MessageMove::Conflict;
  } else if (newFile == kOsOk) {
    move = MessageMove::AlreadyInPlace;
  } else if (oldFile == kOsOk) {
    move = MessageMove::Failed;
    text = std::string("message file ") + oldName + " could not be renamed to " + newName +
           (renamed == kOsAccessDenied ? " (access denied)" : "");
  }
  if (problem != nullptr) *problem = text;
  return move;
}

namespace {

// The bounded output of formatQuery.
class QueryOutput {
 public:
  QueryOutput(char* buffer, size_t size) : buffer_(buffer), size_(size) {}
  void put(char c) {
    if (length_ + 1 < size_)
      buffer_[length_++] = c;
    else
      overflow_ = true;
  }
  void put(const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i) put(text[i]);
  }
  void finish() {
    if (size_ > 0) buffer_[length_] = '\0';
  }
  int length() const { return static_cast<int>(length_); }
  bool overflow() const { return overflow_; }

 private:
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
  bool overflow_ = false;
};

void putDecimal(QueryOutput& out, int32_t value) {
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(value));
  out.put(digits, static_cast<size_t>(n));
}

// Writes text as a text constant of the expression language. False when no
// delimiter can enclose it (nothing is written then).
bool putTextConstant(QueryOutput& out, const char* text) {
  if (text == nullptr) return true;
  const char* delimiters = textConstantDelimiters(text);
  if (delimiters == nullptr) return false;
  out.put(delimiters[0]);
  out.put(text, std::strlen(text));
  out.put(delimiters[1]);
  return true;
}

}  // namespace

int formatQuery(char* buffer, size_t size, const char* format, ...) {
  if (buffer == nullptr || format == nullptr) return 0;
  QueryOutput out(buffer, size);
  bool unsafeText = false;
  va_list args;
  va_start(args, format);
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.put(*p);
      continue;
    }
    char c = p[1];
    if (c == '\0') break;  // a percent sign at the end ends the output
    ++p;
    if (c == 'd' || c == 'D') {
      putDecimal(out, va_arg(args, int));
    } else if (c == 'l' || c == 'L') {
      char next = p[1];
      if (next == 'd' || next == 'D') {
        ++p;
        putDecimal(out, va_arg(args, int));
      } else {
        out.put('%');
        out.put(c);
        if (next == '\0') break;
        out.put(next);
        ++p;
      }
    } else if (c == 's' || c == 'S') {
      if (!putTextConstant(out, va_arg(args, const char*))) unsafeText = true;
    } else if (c == '%') {
      out.put('%');
    }
    // any other character: the percent sign and it are dropped
  }
  va_end(args);
  out.finish();
  return unsafeText || out.overflow() ? -1 : out.length();
}

namespace {

// The Query of a search, freed on every way out.
struct QueryScope {
  Query* query = nullptr;
  ~QueryScope() {
    if (query != nullptr) query4free(query, 0);
  }
};

}  // namespace

// Gives a lookup's Table the tags of the lookup index, when there is one. The
// files are open already (an IndexFile is shared by open count), so this
// binds a tag per file and reads nothing. A Table that cannot join still
// finds the same rows, through fewer tags or by reading them all.
void MessageBagTable::joinLookupIndexes(Table* table) {
  if (table == nullptr) return;
  for (const std::string& file : lookupIndexes_) {
    if (index4open(table, file.c_str()) == nullptr) {
      if (EngineContext* ctx = currentContext()) engine4errorSet(ctx, 0);
    }
  }
}

int MessageBagTable::findMessage(int32_t id1, int32_t id2, int32_t id3, int32_t* size) {
  int result = 1;
  char condition[kFindMessageConditionSize];
  formatQuery(condition, sizeof condition, kFindMessageFormat, id1, id2, id3);
  TableHandle* handle = openHandle();
  if (handle == nullptr) {
    takeEngineError();  // the failed open must not fail the next table's writes
    return -1;
  }
  joinLookupIndexes(handle->table);
  try {
    QueryScope scope;
    scope.query = query4init(handle->table);
    if (scope.query == nullptr) throw new GDatabaseException(kQueryNotCreated);
    query4setExpression(scope.query, condition);
    checkEngineError();
    int found = handle->firstRecord(scope.query);
    if (found < 0) {
      checkEngineError();
      throw new GDatabaseException(found);  // a failure the engine did not store
    }
    if (found == 0) {
      int32_t fileSize = 0;
      handle->readLong(kMessageBagFileSize, &fileSize);
      if (size != nullptr) *size = fileSize;
      result = 0;
    }
  } catch (GDatabaseException* e) {
    reportDatabaseError(e);
    result = -1;
  } catch (...) {
    result = -1;
  }
  releaseHandle(handle);
  // The failure is disposed of here; the engine must not keep it for the
  // next table's writes.
  if (result < 0) {
    if (EngineContext* ctx = currentContext()) engine4errorSet(ctx, 0);
  }
  return result;
}
