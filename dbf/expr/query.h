// Queries: a walk over the records of one Table (the master) that satisfy a
// condition written in the expression language, in the Table's current order.
//
// Usual sequence: query4init, query4setExpression, query4top, then query4skip
// with 1 until it returns non-zero, then query4free with close flag 0. A Query
// does not skip deleted records; callers test the deletion flag themselves.
#pragma once

#include <cstdint>

struct Table;
struct Query;

// A new Query over |master|, not prepared, without condition; null when the
// Table is missing (-935) or its context holds an error.
Query* query4init(Table* master);
// Stores a copy of |text| (null or empty: no condition) and drops the compiled
// condition. 0, or -1 when memory runs out or the context holds an error.
int query4setExpression(Query* q, const char* text);
// 0 positioned on the first match; 3 none (master at its end); negative error
// (-1 when the condition does not compile; the context holds the reason).
int query4top(Query* q);
// Moves over |n| matches: 0 positioned, 3 end, 4 beginning, negative error
// (-910 when the Query was never positioned by query4top).
int query4skip(Query* q, int32_t n);
// Releases the Query; with |closeMaster| the master Table is closed as well.
int query4free(Query* q, int closeMaster);
