// The temporary index of the message lookups.
//
// Every MailBox row looks its message up in the new MessageBag table with a
// Query on its three ids (MessageBagTable::findMessage). Without an index
// that Query reads the whole table, and the conversion grows with the square
// of the number of messages. Once MessageBag is written, the migration
// therefore gives it tags on MSGID1, MSGID2 and MSGID3, so that the Query
// narrows its walk through them to the few records that hold the ids (the
// engine's candidate sets); the Query, its condition and its result stay
// what they were.
//
// The engine walks the key range of every tag a condition names and
// intersects them, so a lookup costs the width of its widest range: a tag on
// an id that many messages share (MSGID2, a small counter in the old
// server's ids) would make every lookup walk a fixed share of the table, and
// each further tag costs a seek. Each tag therefore lives in an index file
// of its own, and the lookups join only the files that narrow best: the id
// whose largest group of equal values is smallest, alone when that group
// holds at most 64 rows, else with every id whose largest group is at most
// four times as large. The other files go at once.
//
// The index is nothing the new server ever sees: files in the temporary
// directory, not the table's production index, so the table's header never
// names them and the seven tables come out byte for byte as without them.
// They are removed when the lookups are done; a run killed meanwhile leaves
// files in the temporary directory that nothing opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class MessageBagTable;
class TableHandle;
struct IndexHandle;

class LookupIndex {
 public:
  LookupIndex() = default;
  ~LookupIndex() { remove(); }
  LookupIndex(const LookupIndex&) = delete;
  LookupIndex& operator=(const LookupIndex&) = delete;

  // Builds the tags over the rows of |bag| through |owner|, an open handle
  // of it that keeps the index files open until remove; from then on every
  // findMessage of |bag| narrows through them. |owner|'s table must be open
  // so that nobody else writes it (exclusively), as the index would not know
  // of a row added meanwhile. False when they cannot be made: nothing is left
  // behind, the engine's error is cleared, and the lookups scan as before.
  bool create(MessageBagTable* bag, TableHandle* owner);
  // Why the last create failed, for the administrator ("" when it did not).
  const std::string& problem() const { return problem_; }
  // Ends the lookups through the index: closes and removes its files.
  // Nothing when there is no index.
  void remove();

  // The files the lookups join (empty when there is no index).
  std::vector<std::string> files() const;

 private:
  struct TagFile {
    IndexHandle* handle;
    std::string name;
    int64_t largestGroup;  // most rows sharing one value of the id
  };
  bool build(TableHandle* owner, const char* column);
  void drop(TagFile& file);

  MessageBagTable* bag_ = nullptr;
  std::vector<TagFile> tags_;
  std::string problem_;
};
