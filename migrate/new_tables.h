// The seven tables of the new server that dbmigrate creates, with their
// column lists.
//
// These lists are the schema the new server reads: names, types, widths and
// the order of the columns are fixed. Every column has 0 decimals. The nulls
// marker is passed to the engine as it stands (1 for the four sender and
// recipient texts of MessageBag, 0 elsewhere); the engine makes only 190
// nullable, so no column is nullable and no table gets a _NullFlags column.
// No table has index tags; the message lookups narrow through a temporary
// index of their own (lookup_index.h) that the tables never name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tables/shared_table.h"

// Column positions that the converters and the message lookup rely on.
inline constexpr int kMessageBagFileSize = 10;  // MessageBag FILESIZE

class UserBaseTable : public SharedTable {
 public:
  UserBaseTable() : SharedTable("UserBase") {}
  const ColumnDescription* columnDefinitions() override;
};

class MessageBagTable : public SharedTable {
 public:
  MessageBagTable() : SharedTable("MessageBag") {}
  const ColumnDescription* columnDefinitions() override;

  // Looks for the first live row with these three ids through a second
  // handle on the table and a Query, in record order. 0 when one exists
  // (*size = its FILESIZE), 1 when none does (*size untouched), -1 when the
  // search could not run (the table cannot be opened, or the engine failed;
  // an engine failure is disposed of by reportDatabaseError). While lookup
  // index files are set, the handle's Table joins them, and the Query visits
  // only the records their tags name; without them (or when joining fails)
  // it reads every record.
  int findMessage(int32_t id1, int32_t id2, int32_t id3, int32_t* size);

  // The index files the lookups join (none: empty). Set by LookupIndex,
  // which keeps the files open on a handle of its own meanwhile, so that
  // joining costs no file open.
  void setLookupIndexes(std::vector<std::string> files) { lookupIndexes_ = std::move(files); }

 private:
  void joinLookupIndexes(Table* table);
  std::vector<std::string> lookupIndexes_;
};

class MailBoxTable : public SharedTable {
 public:
  MailBoxTable() : SharedTable("MailBox") {}
  const ColumnDescription* columnDefinitions() override;
};

class MailingListTitlesTable : public SharedTable {
 public:
  MailingListTitlesTable() : SharedTable("MailingListTitles") {}
  const ColumnDescription* columnDefinitions() override;
};

class SubscriberBaseTable : public SharedTable {
 public:
  SubscriberBaseTable() : SharedTable("SubscriberBase") {}
  const ColumnDescription* columnDefinitions() override;
};

class AliasSystemTable : public SharedTable {
 public:
  AliasSystemTable() : SharedTable("AliasSystem") {}
  const ColumnDescription* columnDefinitions() override;
};

// The spam host list has the alias list's single column; only its name
// differs, given right after construction (createTable rebuilds the path).
class SpamSystemTable : public AliasSystemTable {
 public:
  SpamSystemTable();
};
