// The temporary index of the message lookups.
//
// Every MailBox row looks its message up in the new MessageBag table with a
// Query on its three ids (MessageBagTable::findMessage). Without an index
// that Query reads the whole table, and the conversion grows with the square
// of the number of messages. Once MessageBag is written, the migration
// therefore gives it an index of its own with one tag per id column, so that
// the Query narrows its walk through the tags to the few records that hold
// the ids (the engine's candidate sets); the Query, its condition and its
// result stay what they were.
//
// The index is nothing the new server ever sees: a file in the temporary
// directory, not the table's production index, so the table's header never
// names it and the seven tables come out byte for byte as without it. It is
// removed when the lookups are done; a run killed meanwhile leaves a file in
// the temporary directory that nothing opens. While it exists, the table's
// file lock is held, so that no other process can add or change a row the
// index would not know of.
#pragma once

#include <string>

class MessageBagTable;
class TableHandle;
struct IndexHandle;

class LookupIndex {
 public:
  LookupIndex() = default;
  ~LookupIndex() { remove(); }
  LookupIndex(const LookupIndex&) = delete;
  LookupIndex& operator=(const LookupIndex&) = delete;

  // Builds the index over the rows of |bag| through |owner|, an open handle of
  // it that keeps the index file open (and the table's file lock) until
  // remove; from then on every findMessage of |bag| narrows through it. False
  // when it cannot be made: nothing is left behind, the engine's error is
  // cleared, and the lookups scan as before.
  bool create(MessageBagTable* bag, TableHandle* owner);
  // Ends the lookups through the index: closes it, releases the table's file
  // lock and removes the file. Nothing when there is no index.
  void remove();

  // The index file's full name ("" when there is none).
  const std::string& file() const { return file_; }

 private:
  MessageBagTable* bag_ = nullptr;
  TableHandle* owner_ = nullptr;
  IndexHandle* index_ = nullptr;
  std::string file_;
};
