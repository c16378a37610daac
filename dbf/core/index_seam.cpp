// The compound index as the table code sees it while no index code exists:
// a table never has an IndexFile, so every call has nothing to do. Opening a
// table whose header announces a production index therefore opens the data
// alone. Creating a table with tags fails plainly instead of writing a table
// that claims tags it does not have.
#include "dbf/core/index_seam.h"

#include "dbf/core/table.h"

int index4seamOpenProduction(Table*) { return 0; }

bool index4seamHasTags(const void* tags) {
  // A TagDescription begins with its name.
  return tags != nullptr && *static_cast<const char* const*>(tags) != nullptr;
}

int index4seamCreate(Table* t, const void* tags) {
  if (!index4seamHasTags(tags)) return 0;
  return engine4error(t->ctx, dbf::kErrCreate, 91102, t->alias, "index creation not available");
}

int index4seamUpdateTags(Table*) { return 0; }
int index4seamUndoTags(Table*) { return 0; }
int index4seamAddRecord(Table*, int32_t) { return 0; }
int index4seamRemoveRecord(Table*, int32_t) { return 0; }
int index4seamLockAll(Table*) { return 0; }
int index4seamUnlockAll(Table*) { return 0; }
bool index4seamHoldsLocks(const Table*) { return false; }
int index4seamCloseTable(Table*) { return 0; }
int index4seamCloseDataFile(DataFile*) { return 0; }
int index4seamTop(Table*, int32_t*) { return dbf::kEof; }
int index4seamSkip(Table*, int32_t, int32_t*) { return dbf::kEof; }
