// The migration driver: the fixed order of one dbmigrate run.
#pragma once

#include "migrate/converters.h"

class ConversionProgress;
class RunLock;

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

// The outcomes of a run; main returns them as the exit status.
enum MigrationStatus : int {
  kMigrationDone = 0,          // every table converted
  kMigrationTablesFailed = 1,  // some table failed; standard error says which
  kMigrationUsage = 2,         // the command line was wrong (main's own)
  kMigrationRefused = 3,       // another run works here: nothing touched
  kMigrationNoDatabase = -1,   // the old database cannot be opened (255)
};

// Runs the migration in the current directory: prints the banner, takes
// |lock| (when given) so that no second run works here meanwhile, opens
// oldDatabase, brings the old schema up to date, opens the new tables and
// converts the seven tables in their order, then closes the old database and
// shuts the DAO layer down. The lock stays held; its owner releases it once
// the converters have closed the new tables.
//
// Returns kMigrationNoDatabase, after the two-line message, when the old
// database cannot be opened (nothing else is then done); kMigrationRefused,
// after a line on standard error, when another run holds the lock (nothing
// is touched); kMigrationTablesFailed when some table could not be created
// or replaced, or some row that belongs in it could not be written: the
// run goes on past such a table and ends with one line per failed table on
// standard error and a final line naming them all; kMigrationDone otherwise.
// |progress| (when given) hears how each table's conversion gets on.
int migrateOldDatabase(const ConverterSet& converters, RunLock* lock = nullptr,
                       ConversionProgress* progress = nullptr);

// The two fix-ups of the old schema. Each adds its Long column at the end
// of the table and sets it in every row when the table has the field count
// of the old layout (13 for MessageBag, 12 for UserBase). Returns 1 when it
// changed the table, 0 for any other field count, -1 after an exception
// (an old-database exception is printed, any other is swallowed).
int upgradeMessageBagSchema();
int upgradeUserBaseSchema();
