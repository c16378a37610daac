// The column lists of the seven new tables.
#include "migrate/new_tables.h"

#include "tables/text.h"

namespace {

const ColumnDescription kUserBase[] = {
    {"USER", 'C', 64, 0, 0},      {"IS_NT_ACCO", 'N', 1, 0, 0}, {"PASSWD", 'C', 32, 0, 0},
    {"FULLNAME", 'M', 10, 0, 0},  {"FORWARD", 'N', 1, 0, 0},    {"FWDUSER", 'C', 64, 0, 0},
    {"FWDHOST", 'C', 64, 0, 0},   {"MAX_SIZE", 'N', 11, 0, 0},  {"MAX_DAY", 'N', 11, 0, 0},
    {"USER_FLAG", 'N', 11, 0, 0}, {"MAX_VPOP3", 'N', 11, 0, 0}, {nullptr, 0, 0, 0, 0}};

const ColumnDescription kMessageBag[] = {
    {"MSGID1", 'N', 11, 0, 0},     {"MSGID2", 'N', 11, 0, 0},   {"MSGID3", 'N', 11, 0, 0},
    {"REFCOUNTER", 'N', 11, 0, 0}, {"FROMNAME", 'C', 64, 0, 1}, {"FROMHOST", 'C', 64, 0, 1},
    {"SYSFLAG", 'N', 11, 0, 0},    {"RECVTIME", 'N', 11, 0, 0}, {"RECPUSER", 'C', 64, 0, 1},
    {"RECPHOST", 'C', 64, 0, 1},   {"FILESIZE", 'N', 11, 0, 0}, {"HDRFIELD", 'N', 11, 0, 0},
    {nullptr, 0, 0, 0, 0}};

const ColumnDescription kMailBox[] = {{"MSGID1", 'N', 11, 0, 0},   {"MSGID2", 'N', 11, 0, 0},
                                      {"MSGID3", 'N', 11, 0, 0},   {"USER", 'C', 64, 0, 0},
                                      {"RECVTIME", 'N', 11, 0, 0}, {"FILESIZE", 'N', 11, 0, 0},
                                      {nullptr, 0, 0, 0, 0}};

const ColumnDescription kMailingListTitles[] = {
    {"TITLE_TOKE", 'N', 11, 0, 0}, {"TITLE_TEXT", 'C', 64, 0, 0}, {"TITLE_PASS", 'C', 64, 0, 0},
    {"TITLE_FLAG", 'N', 11, 0, 0}, {"SUB_DOCU", 'M', 10, 0, 0},   {"UNSUB_DOCU", 'M', 10, 0, 0},
    {nullptr, 0, 0, 0, 0}};

const ColumnDescription kSubscriberBase[] = {{"TITLE_TOKE", 'N', 11, 0, 0},
                                             {"SUB_USER", 'C', 64, 0, 0},
                                             {"SUB_HOST", 'C', 64, 0, 0},
                                             {"FAIL_COUNT", 'N', 11, 0, 0},
                                             {nullptr, 0, 0, 0, 0}};

const ColumnDescription kAliasSystem[] = {{"HOST", 'C', 64, 0, 0}, {nullptr, 0, 0, 0, 0}};

}  // namespace

const ColumnDescription* UserBaseTable::columnDefinitions() { return kUserBase; }
const ColumnDescription* MessageBagTable::columnDefinitions() { return kMessageBag; }
const ColumnDescription* MailBoxTable::columnDefinitions() { return kMailBox; }
const ColumnDescription* MailingListTitlesTable::columnDefinitions() { return kMailingListTitles; }
const ColumnDescription* SubscriberBaseTable::columnDefinitions() { return kSubscriberBase; }
const ColumnDescription* AliasSystemTable::columnDefinitions() { return kAliasSystem; }

SpamSystemTable::SpamSystemTable() {
  freeText(name);
  name = copyText("SPAMSystem");
  buildPath();
}
