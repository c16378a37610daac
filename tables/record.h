// Record objects and record lists: how the key-driven SharedTable operations
// (insertUnique, readAll, updateFirst, readFirst, deleteFirstFor) exchange
// rows with the application. The layer only calls these interfaces; the
// application implements them.
#pragma once

#include <cstddef>
#include <cstdint>

// One row as the application holds it, addressed by 0-based column position
// in the order of the table's column list. Positions whose column type is 'C'
// or 'M' are texts, positions of type 'N' integers.
class RecordObject {
 public:
  virtual ~RecordObject() = default;

  // Number of leading column positions this record carries (0 = none).
  virtual int columnCount() = 0;
  // The integer to store at |position|.
  virtual int32_t longAt(int position) = 0;
  // The text to store at |position|, or null to leave the column as it is.
  // The record keeps ownership.
  virtual const char* textAt(int position) = 0;
  // Where an integer read from |position| goes, or null to skip the column.
  virtual int32_t* longDestination(int position) = 0;
  // Where a text read from |position| goes, or null to skip the column. The
  // slot holds null or a heap text owned by the record (see tables/text.h);
  // a read frees the text it replaces and stores a new heap text, or null for a
  // blank column.
  virtual char** textDestination(int position) = 0;
  // Called once after a read has filled every destination.
  virtual void readFinished() = 0;
  // True when the record already stands for an existing row, so that
  // insertUnique does not look for its key.
  virtual bool hasRow() = 0;
};

// A list of record objects filled by SharedTable::readAll.
class RecordList {
 public:
  virtual ~RecordList() = default;

  // Removes (and destroys) every record of the list.
  virtual void clear() = 0;
  // Prepares room for |count| records.
  virtual void reserve(std::size_t count) = 0;
  // Appends |record|; the list takes ownership when the call returns.
  virtual void add(RecordObject* record) = 0;
  virtual std::size_t size() = 0;
};
