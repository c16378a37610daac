// The calls the table code makes into the compound index (.CDX). They are
// implemented by dbf/index/seam.cpp; the table code knows nothing else of the
// index. For a Table without index files every call has nothing to do.
#pragma once

#include <cstdint>

struct Table;
struct DataFile;

// Opens the production index (same name, .CDX) of |t|'s data file. 0 or code.
int index4seamOpenProduction(Table* t);
// Creates the production index from a TagDescription list. 0 or code.
int index4seamCreate(Table* t, const void* tags);
// Gives each of |t|'s tag handles the unique mode of its TagDescription (the
// tag of that name, cut to 10 characters). 0, or -1420 (location 81406) when
// a described tag is missing.
int index4seamSetUniqueModes(Table* t, const void* tags);
// Rebuilds every index file of |t| in turn, stopping at the first result
// that is not 0 (20 for a duplicate in a unique tag, or an error).
int index4seamReindex(Table* t);
// True when |tags| is a non-empty TagDescription list (first name not null).
bool index4seamHasTags(const void* tags);
// Replaces the keys of the old record (t->oldRecord) by those of t->record.
int index4seamUpdateTags(Table* t);
// Undoes index4seamUpdateTags after a failed record write.
int index4seamUndoTags(Table* t);
// Adds the keys of record |rec| to every tag: 0, 20 (duplicate) or code; on a
// failure the keys already added are removed again.
int index4seamAddRecord(Table* t, int32_t rec);
int index4seamRemoveRecord(Table* t, int32_t rec);
// Locks (with retries) and unlocks every IndexFile of the data file.
int index4seamLockAll(Table* t);
int index4seamUnlockAll(Table* t);
// True when this Table holds index locks.
bool index4seamHoldsLocks(const Table* t);
// Closes the Table's IndexFiles; the first failure is returned.
int index4seamCloseTable(Table* t);
int index4seamCloseDataFile(DataFile* d);
// Runs before every move in tag order: when another process changed the
// index file of t->order (its version counter moved), the cached nodes are
// dropped so that the move reads the tree afresh. 0 or code.
int index4seamBeforeMove(Table* t);
// Navigation by the Tag in t->order: record number of the first key, or 3.
int index4seamTop(Table* t, int32_t* rec);
// Moves |n| keys from the current record in t->order (the record's own key;
// one the tag does not hold counts from where its key would stand): 0 with
// *rec set, 3 past the last key, 4 before the first (*rec then the first
// key's record, 0 in an empty tag), or code.
int index4seamSkip(Table* t, int32_t n, int32_t* rec);
