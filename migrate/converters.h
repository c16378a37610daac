// The seven table converters of the migration, one per old table.
//
// Each overrides openTarget (slot 1) to create its new table (the classes of
// migrate/new_tables.h) and convertRecord (slot 3) to map the old columns,
// known by position in the old table's column order, onto the new ones.
// Every row is written as beginRecord, assignments in ascending column
// order, appendRecord.
#pragma once

#include "migrate/converter.h"
#include "migrate/lookup_index.h"
#include "migrate/new_tables.h"

class UserBaseConverter : public TableConverter {
 public:
  int openTarget() override;
  // Old 0..6 to new 0..6, old 9, 10, 11 to new 7, 8, 9; MAX_VPOP3 stays
  // blank. Old 7, 8 and 12 are not carried over.
  int convertRecord(VARIANT* values, int count) override;
};

class MessageBagConverter : public TableConverter {
 public:
  int openTarget() override;
  // Moves the message file to its new name first; a message that is not in
  // place afterwards drops the row (nothing written, 0 returned). SYSFLAG
  // is 1, 2 and 4 for non-zero raw words of old 6, 11 and 8.
  int convertRecord(VARIANT* values, int count) override;
  // The new table, lent to the MailBox converter; null unless openTarget
  // created and opened it (an old table of that name must not be searched).
  MessageBagTable* messageBagTable() const;

  // Once the table is written: gives it the temporary index of the message
  // lookups (lookup_index.h), kept until dropLookupIndex or the converter's
  // end. False when there is none (no table, the index is switched off, or
  // it could not be made); the lookups then read the whole table, with the
  // same results.
  bool indexForLookups();
  void dropLookupIndex();
  // Switches the lookup index off (on by default): the tables come out the
  // same either way, only slower without it.
  void useLookupIndex(bool on) { useLookupIndex_ = on; }

 private:
  // Opens the converter's handle again in |shareMode|: true when it is open.
  bool reopenHandle(uint8_t shareMode);

  LookupIndex lookupIndex_;  // goes before the base class releases the handle
  bool useLookupIndex_ = true;
};

class MailBoxConverter : public TableConverter {
 public:
  int openTarget() override;
  // Keeps a row only when its message is in the new MessageBag table
  // (returns 1 and writes nothing otherwise), with FILESIZE taken from
  // there. A row that cannot be looked up (no MessageBag table, or the
  // search failed) is a failure of this table: -1, nothing written.
  int convertRecord(VARIANT* values, int count) override;

  // The MessageBag converter's table, borrowed (never released or
  // destroyed here), so that MailBox rows can look their message up.
  MessageBagTable* messageBag = nullptr;
};

class MailingListTitlesConverter : public TableConverter {
 public:
  int openTarget() override;
  // Old 1..4 to new 0..3 (the token comes from old 1; old 0, the old list
  // number, is not carried over); the two memo columns stay blank.
  int convertRecord(VARIANT* values, int count) override;
};

class SubscriberBaseConverter : public TableConverter {
 public:
  int openTarget() override;
  int convertRecord(VARIANT* values, int count) override;
};

class AliasSystemConverter : public TableConverter {
 public:
  int openTarget() override;
  int convertRecord(VARIANT* values, int count) override;
};

// SPAMSystem rows are converted exactly like alias rows; only the new
// table differs (its openTarget makes a SpamSystemTable).
class SpamSystemConverter : public AliasSystemConverter {
 public:
  int openTarget() override;
};
