// The migration driver: the fixed order of one dbmigrate run.
#pragma once

#include "migrate/converters.h"

// The seven converters of a run, owned by the caller (main constructs them
// in the order MailBox, MessageBag, UserBase, MailingListTitles,
// SubscriberBase, AliasSystem, SPAMSystem and destroys them in reverse).
struct ConverterSet {
  MailBoxConverter* mailBox;
  MessageBagConverter* messageBag;
  UserBaseConverter* userBase;
  MailingListTitlesConverter* mailingListTitles;
  SubscriberBaseConverter* subscriberBase;
  AliasSystemConverter* aliasSystem;
  SpamSystemConverter* spamSystem;
};

// The old database, relative to the current directory.
extern const char* const kOldDatabaseDirectory;  // "./", ".\" on Windows
extern const char kOldDatabaseName[];            // "SMTP.MDB"

// Runs the migration in the current directory: prints the banner, opens
// oldDatabase, brings the old schema up to date, opens the new tables and
// converts the seven tables in their order, then closes the old database and
// shuts the DAO layer down. Returns -1, after the two-line message, when the
// old database cannot be opened (nothing else is then done), 0 otherwise.
int migrateOldDatabase(const ConverterSet& converters);

// The two fix-ups of the old schema. Each adds its Long column at the end
// of the table and sets it in every row when the table has the field count
// of the old layout (13 for MessageBag, 12 for UserBase). Returns 1 when it
// changed the table, 0 for any other field count, -1 after an exception
// (an old-database exception is printed, any other is swallowed).
int upgradeMessageBagSchema();
int upgradeUserBaseSchema();
