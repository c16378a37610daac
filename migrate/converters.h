// The seven table converters of the migration, one per old table.
//
// Each overrides openTarget (slot 1) to create its new table and
// convertRecord (slot 3) to map the old columns onto the new ones. The new
// tables' classes and column mappings are not written yet: until they are,
// every converter keeps the base behaviour (no table, nothing written).
#pragma once

#include "migrate/converter.h"

class MessageBagTable;  // tables/: the new MessageBag table, with findMessage

class UserBaseConverter : public TableConverter {};

class MessageBagConverter : public TableConverter {};

class MailBoxConverter : public TableConverter {
public:
    // The MessageBag converter's table, borrowed (never released or
    // destroyed here), so that MailBox rows can look their message up.
    MessageBagTable* messageBag = nullptr;
};

class MailingListTitlesConverter : public TableConverter {};

class SubscriberBaseConverter : public TableConverter {};

class AliasSystemConverter : public TableConverter {};

// SPAMSystem rows are converted exactly like alias rows; only the new
// table differs (its openTarget makes a SpamSystemTable).
class SpamSystemConverter : public AliasSystemConverter {};
