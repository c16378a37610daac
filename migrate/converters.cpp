// The seven table converters: which table each creates and which old column
// fills which new one.
#include "migrate/converters.h"

#include <cstdio>

#include "migrate/message_store.h"
#include "tables/context.h"
#include "tables/errors.h"
#include "tables/table_handle.h"

namespace {

// The values of one old row by position. A position the old table does not
// have reads as an empty value (no text, number 0), so that an old table
// with fewer columns than the mapping expects converts without reading past
// its row.
class OldRow {
 public:
  OldRow(VARIANT* values, int count) : values_(values), count_(values ? count : 0) {
    VariantInit(&missing_);
  }
  VARIANT* operator[](int position) {
    if (position >= 0 && position < count_) return &values_[position];
    VariantInit(&missing_);
    return &missing_;
  }
  // The 32-bit word of a value, whatever its type (0 for a missing one).
  int32_t rawWord(int position) {
    return position >= 0 && position < count_ ? variantRawWord(values_[position]) : 0;
  }

 private:
  VARIANT* values_;
  int count_;
  VARIANT missing_;
};

}  // namespace

int UserBaseConverter::openTarget() { return openTable(new UserBaseTable); }
int MessageBagConverter::openTarget() { return openTable(new MessageBagTable); }
int MailBoxConverter::openTarget() { return openTable(new MailBoxTable); }
int MailingListTitlesConverter::openTarget() { return openTable(new MailingListTitlesTable); }
int SubscriberBaseConverter::openTarget() { return openTable(new SubscriberBaseTable); }
int AliasSystemConverter::openTarget() { return openTable(new AliasSystemTable); }
int SpamSystemConverter::openTarget() { return openTable(new SpamSystemTable); }

MessageBagTable* MessageBagConverter::messageBagTable() const {
  return handle != nullptr ? static_cast<MessageBagTable*>(table) : nullptr;
}

// The index is built and read while the table is open exclusively: nobody
// else can then change a row the index would not know of, and neither the
// table nor the index needs a lock meanwhile. The lookups' handles, opened
// in the shared mode of the table layer, share the exclusive data file.
bool MessageBagConverter::indexForLookups() {
  MessageBagTable* bag = messageBagTable();
  if (!useLookupIndex_ || bag == nullptr) return false;
  const bool alone = reopenHandle(1);
  if (alone && lookupIndex_.create(bag, handle)) return true;
  // Not a failure of the table: the lookups find the same rows, slowly.
  std::fflush(stdout);
  std::fprintf(stderr,
               "dbmigrate: MessageBag: the MailBox rows are looked up without an index (%s); "
               "each lookup reads the whole table\n",
               alone ? lookupIndex_.problem().c_str() : "another program has the table open");
  reopenHandle(0);
  return false;
}

void MessageBagConverter::dropLookupIndex() {
  if (lookupIndex_.files().empty()) return;
  lookupIndex_.remove();
  reopenHandle(0);
}

bool MessageBagConverter::reopenHandle(uint8_t shareMode) {
  table->releaseHandle(handle);
  EngineContext* ctx = currentContext();
  const uint8_t saved = ctx->shareMode;
  ctx->shareMode = shareMode;
  handle = table->openHandle();
  ctx->shareMode = saved;
  if (handle == nullptr) engine4errorSet(ctx, 0);  // another program has the table open
  return handle != nullptr;
}

int UserBaseConverter::convertRecord(VARIANT* values, int count) {
  if (handle == nullptr) return -1;  // no open table: nothing may be written
  OldRow v(values, count);
  handle->beginRecord();
  int result = 0;
  for (int i = 0; i <= 6; ++i) result = copyValue(handle, i, v[i]);
  result = copyValue(handle, 7, v[9]);
  result = copyValue(handle, 8, v[10]);
  result = copyValue(handle, 9, v[11]);
  handle->appendRecord();
  return result;
}

int MessageBagConverter::convertRecord(VARIANT* values, int count) {
  if (handle == nullptr) return -1;  // no open table: nothing may be written
  OldRow v(values, count);
  std::string problem;
  MessageMove move = moveMessageFile(v.rawWord(0), v.rawWord(1), v.rawWord(2), &problem);
  if (move == MessageMove::Failed || move == MessageMove::Ambiguous) noteFailure(problem);
  if (!messageKept(move)) return 0;
  int32_t sysflag =
      (v.rawWord(6) != 0 ? 1 : 0) | (v.rawWord(11) != 0 ? 2 : 0) | (v.rawWord(8) != 0 ? 4 : 0);
  handle->beginRecord();
  int result = 0;
  for (int i = 0; i <= 5; ++i) result = copyValue(handle, i, v[i]);
  handle->assignLong(6, sysflag);
  result = copyValue(handle, 7, v[7]);
  result = copyValue(handle, 8, v[9]);
  result = copyValue(handle, 9, v[10]);
  result = copyValue(handle, 10, v[12]);
  result = copyValue(handle, 11, v[13]);
  handle->appendRecord();
  return result;
}

int MailBoxConverter::convertRecord(VARIANT* values, int count) {
  if (handle == nullptr) return -1;  // no open table: nothing may be written
  OldRow v(values, count);
  int32_t id1 = v.rawWord(0), id2 = v.rawWord(1), id3 = v.rawWord(2);
  int32_t fileSize = 0;
  if (messageBag == nullptr) {
    noteFailure("no row can be checked against MessageBag, which was not created");
    return -1;
  }
  int found = messageBag->findMessage(id1, id2, id3, &fileSize);
  if (found < 0)
    noteFailure(std::string("a message lookup failed (") + lastDatabaseErrorText() + ")");
  if (found != 0) return found;
  handle->beginRecord();
  handle->assignLong(0, id1);
  handle->assignLong(1, id2);
  handle->assignLong(2, id3);
  copyValue(handle, 3, v[3]);
  copyValue(handle, 4, v[4]);
  int result = handle->assignLong(5, fileSize);
  handle->appendRecord();
  return result;
}

int MailingListTitlesConverter::convertRecord(VARIANT* values, int count) {
  if (handle == nullptr) return -1;  // no open table: nothing may be written
  OldRow v(values, count);
  handle->beginRecord();
  int result = 0;
  for (int i = 0; i <= 3; ++i) result = copyValue(handle, i, v[i + 1]);
  handle->appendRecord();
  return result;
}

int SubscriberBaseConverter::convertRecord(VARIANT* values, int count) {
  if (handle == nullptr) return -1;  // no open table: nothing may be written
  OldRow v(values, count);
  handle->beginRecord();
  int result = 0;
  for (int i = 0; i <= 3; ++i) result = copyValue(handle, i, v[i]);
  handle->appendRecord();
  return result;
}

int AliasSystemConverter::convertRecord(VARIANT* values, int count) {
  if (handle == nullptr) return -1;  // no open table: nothing may be written
  OldRow v(values, count);
  handle->beginRecord();
  int result = copyValue(handle, 0, v[0]);
  handle->appendRecord();
  return result;
}
