// dbmigrate: carries the old Ploverix database SMTP.MDB and its message
// files over into the DBF tables of Wrenhub, in the current directory or in
// the one directory named on the command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "migrate/driver.h"
#include "migrate/progress.h"
#include "migrate/run_lock.h"

static void printUsage(FILE* out) {
  std::fprintf(out,
               "Usage: dbmigrate [DIRECTORY]\n"
               "Converts the old server's SMTP.MDB and its message files in DIRECTORY\n"
               "(default: the current directory) into the new server's tables there:\n"
               "UserBase, MessageBag, MailBox, MailingListTitles, SubscriberBase,\n"
               "AliasSystem and SPAMSystem (.DBF, with .FPT memo files). Existing\n"
               "tables of these names are replaced; message files are renamed.\n"
               "Exit status: 0 done; 1 some table failed (standard error names it);\n"
               "2 usage error; 3 another dbmigrate is working in DIRECTORY (nothing\n"
               "was changed); 255 SMTP.MDB cannot be opened.\n");
}

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    printUsage(stdout);
    return 0;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
    printUsage(stderr);
    return kMigrationUsage;
  }
  if (argc == 2 && chdir(argv[1]) != 0) {
    std::fprintf(stderr, "dbmigrate: cannot work in directory '%s': %s\n", argv[1],
                 std::strerror(errno));
    return kMigrationUsage;
  }

  // Made before the converters, so that it is released only after they have
  // closed the new tables.
  RunLock lock;
  MailBoxConverter mailBox;
  MessageBagConverter messageBag;
  UserBaseConverter userBase;
  MailingListTitlesConverter mailingListTitles;
  SubscriberBaseConverter subscriberBase;
  AliasSystemConverter aliasSystem;
  SpamSystemConverter spamSystem;

  ConverterSet converters{&mailBox,        &messageBag,  &userBase,  &mailingListTitles,
                          &subscriberBase, &aliasSystem, &spamSystem};
  // Progress only on a terminal: redirected runs see the designed lines alone.
  std::unique_ptr<TerminalProgress> progress;
  if (stderrIsTerminal()) progress = std::make_unique<TerminalProgress>(stderr);
  return migrateOldDatabase(converters, &lock, progress.get());  // -1 is 255 as a process status
}
