// What the commands that change a table share: they open it exclusively, so
// that no other program has it open while they work, and close it with one
// message for whatever failed.
#pragma once

#include "tools/dbftool/engine.h"

struct Table;

namespace dbftool {

struct Console;
struct Invocation;

// Opens the table of |call| exclusively (with its production index unless
// |withIndex| is false); null after a message. A table in use is refused.
Table* openForMaintenance(Engine& engine, const Invocation& call, bool withIndex = true);

// Makes every unique and candidate tag of |t|'s open indexes keep the first
// record of equal keys during a rebuild: equal keys in a candidate tag (left
// by damage) would otherwise stop the rebuild half way.
void keepFirstOfEqualKeys(Table* t);

// Closes |t| after |what| ended with |rc| and returns the exit status,
// reporting a failure of either.
int finish(Engine& engine, Table* t, int rc, const char* what, const Console& console);

}  // namespace dbftool
