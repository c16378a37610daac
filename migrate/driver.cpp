// The migration driver: banner, old database, schema fix-ups, and the
// conversion of the seven tables in their fixed order.
#include "migrate/driver.h"

#include <array>
#include <cstdio>
#include <string>

#include "migrate/old_database.h"
#include "migrate/run_lock.h"
#include "tables/errors.h"
#include "tables/shared_table.h"

// The same directory prefix as the new tables' paths.
const char* const kOldDatabaseDirectory = kTablePathPrefix;
const char kOldDatabaseName[] = "SMTP.MDB";

// Adds a Long column to table when it has oldFieldCount fields and fills it
// with the update statement, both in one transaction: a column left without
// its values would hide the old layout from every later run.
static int upgradeSchema(const char* table, short oldFieldCount, const char* column,
                         const char* update) {
  try {
    CDaoTableDef definition(&oldDatabase);
    definition.Open(table);
    if (definition.GetFieldCount() != oldFieldCount) {
      definition.Close();
      return 0;
    }
    definition.CreateFilledField(column, dbLong, 0, update);
    definition.Close();
    return 1;
  } catch (CException* e) {
    reportException(e);
  } catch (...) {
  }
  return -1;
}

int upgradeMessageBagSchema() {
  return upgradeSchema("MessageBag", 13, "HdrField", "update MessageBag set HdrField = 63");
}

int upgradeUserBaseSchema() {
  return upgradeSchema("UserBase", 12, "max_vpop3", "update UserBase set max_vpop3 = 0");
}

static int cannotOpenOldDatabase() {
  std::printf("Cannot open old database.\nQuit from convertion");
  std::fflush(stdout);
  return kMigrationNoDatabase;
}

// Takes the run lock before anything is touched. kMigrationDone when the run
// may go on.
static int lockDirectory(RunLock* lock, const char* path) {
  if (lock == nullptr) return kMigrationDone;
  RunLock::Outcome outcome = lock->acquire(path);
  if (outcome == RunLock::Outcome::Held || outcome == RunLock::Outcome::NoDatabase)
    return kMigrationDone;
  std::fflush(stdout);
  if (outcome == RunLock::Outcome::CannotOpen) {
    std::fprintf(stderr, "dbmigrate: %s\n", lock->problem().c_str());
    return cannotOpenOldDatabase();
  }
  std::fprintf(stderr, "dbmigrate: %s; nothing was changed\n", lock->problem().c_str());
  return kMigrationRefused;
}

// The converters in the order of the run.
static std::array<TableConverter*, 7> converterOrder(const ConverterSet& c) {
  return {c.userBase,          c.messageBag,     c.mailBox,   c.mailingListTitles,
          c.subscriberBase,    c.aliasSystem,    c.spamSystem};
}

// One line per failed table on standard error, in the order of the run,
// then one naming them all. kMigrationTablesFailed when there was one.
static int reportFailedTables(const ConverterSet& c) {
  std::string names;
  for (const TableConverter* converter : converterOrder(c)) {
    if (!converter->failed()) continue;
    std::fprintf(stderr, "dbmigrate: %s\n", converter->failureReport().c_str());
    names += (names.empty() ? "" : ", ") + std::string(converter->tableName());
  }
  if (names.empty()) return kMigrationDone;
  std::fprintf(stderr, "dbmigrate: failed tables: %s; run dbmigrate again once the cause is gone\n",
               names.c_str());
  return kMigrationTablesFailed;
}

int migrateOldDatabase(const ConverterSet& c, RunLock* lock, ConversionProgress* progress) {
  std::string path = std::string(kOldDatabaseDirectory) + kOldDatabaseName;
  std::printf("Convert from SMTP/Ploverix to Wrenhub/95, Wrenhub/NT\n");
  if (int refused = lockDirectory(lock, path.c_str()); refused != kMigrationDone) return refused;
  try {
    oldDatabase.Open(path.c_str(), false, false, "");
  } catch (CException* e) {
    e->Delete();
    return cannotOpenOldDatabase();
  }

  upgradeMessageBagSchema();
  upgradeUserBaseSchema();

  c.userBase->openTarget();
  c.messageBag->openTarget();
  c.mailBox->openTarget();
  c.mailingListTitles->openTarget();
  c.subscriberBase->openTarget();
  c.aliasSystem->openTarget();
  c.spamSystem->openTarget();

  c.mailBox->messageBag = c.messageBag->messageBagTable();  // borrowed
  for (TableConverter* converter : converterOrder(c)) converter->watch(progress);

  c.userBase->run("select * from UserBase");
  c.messageBag->run("select * from MessageBag");
  // The MailBox rows find their messages through a temporary index of the
  // written MessageBag table (the tables stay as without it).
  c.messageBag->indexForLookups();
  c.mailBox->run("select * from MailBox");
  c.messageBag->dropLookupIndex();
  c.mailingListTitles->run("select * from MailingListTitles");
  c.subscriberBase->run("select * from SubscriberBase");
  c.aliasSystem->run("select * from AliasSystem");
  c.spamSystem->run("select * from SPAMSystem");

  oldDatabase.Close();
  AfxDaoTerm();
  std::fflush(stdout);
  return reportFailedTables(c);
}
