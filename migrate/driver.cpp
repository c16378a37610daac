// The migration driver: banner, old database, schema fix-ups, and the
// conversion of the seven tables in their fixed order.
#include "migrate/driver.h"

#include <cstdio>
#include <string>

#include "migrate/old_database.h"
#include "tables/errors.h"
#include "tables/shared_table.h"

// The same directory prefix as the new tables' paths.
const char* const kOldDatabaseDirectory = kTablePathPrefix;
const char kOldDatabaseName[] = "SMTP.MDB";

// Adds a Long column to table when it has oldFieldCount fields and fills it
// with the update statement.
static int upgradeSchema(const char* table, short oldFieldCount, const char* column,
                         const char* update) {
  try {
    CDaoTableDef definition(&oldDatabase);
    definition.Open(table);
    if (definition.GetFieldCount() != oldFieldCount) {
      definition.Close();
      return 0;
    }
    definition.CreateField(column, dbLong, 0, 0);
    try {
      oldDatabase.Execute(update, dbFailOnError);
    } catch (CException*) {
      // Without its values the new column would hide the old layout
      // from every later run; take it away again.
      try {
        definition.DeleteField(column);
      } catch (CException* e) {
        e->Delete();
      }
      throw;
    }
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

int migrateOldDatabase(const ConverterSet& c) {
  std::string path = std::string(kOldDatabaseDirectory) + kOldDatabaseName;
  std::printf("Convert from SMTP/Ploverix to Wrenhub/95, Wrenhub/NT\n");
  try {
    oldDatabase.Open(path.c_str(), false, false, "");
  } catch (CException* e) {
    std::printf("Cannot open old database.\nQuit from convertion");
    e->Delete();
    std::fflush(stdout);
    return -1;
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

  c.userBase->run("select * from UserBase");
  c.messageBag->run("select * from MessageBag");
  c.mailBox->run("select * from MailBox");
  c.mailingListTitles->run("select * from MailingListTitles");
  c.subscriberBase->run("select * from SubscriberBase");
  c.aliasSystem->run("select * from AliasSystem");
  c.spamSystem->run("select * from SPAMSystem");

  oldDatabase.Close();
  AfxDaoTerm();
  std::fflush(stdout);
  return 0;
}
