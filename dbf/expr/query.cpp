// Queries: a walk over the records of one Table that satisfy a condition, in
// the Table's current order. The condition is compiled once per preparation;
// each visited record is tested conjunct by conjunct, last to first, so that a
// record is rejected by the first false one.
//
// When the condition compares constants with key expressions of the master's
// tags, each query4top first finds the records those comparisons allow (the
// candidate set, candidates.h) and the walk visits only them: by record
// number, or through the selected tag, stepping over keys of other records
// without reading those records. Every candidate is still tested in full.
#include "dbf/expr/query.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "dbf/core/context.h"
#include "dbf/core/index_seam.h"
#include "dbf/core/table.h"
#include "dbf/expr/candidates.h"
#include "dbf/expr/evaluator.h"
#include "dbf/index/index.h"

struct Query {
  Table* master;
  EngineContext* ctx;
  char* text;             // owned copy of the condition, or null
  Expression* condition;  // compiled on preparation
  int32_t prepared;
  CandidateSet* candidates;  // the records that may match, or null: every record
  int32_t positioned;        // query4top has run since the last preparation
};

namespace {

constexpr int kLocationInit = 94410;
constexpr int kLocationSetExpression = 94411;
constexpr int kLocationTextCopy = 94412;
constexpr int kLocationFree = 94413;
constexpr int kLocationSkip = 94418;
constexpr int kLocationTop = 94422;
constexpr int kLocationNotLogical = 94424;
constexpr int kLocationNeverPositioned = 84406;

// Queries come from one process-wide pool of Query units (first chunk 5, then
// 5 more at a time); the pool registry serialises its use.
MemoryPool* queryPool(EngineContext* ctx) {
  static std::mutex guard;
  static MemoryPool* pool = nullptr;
  std::lock_guard<std::mutex> hold(guard);
  if (pool == nullptr) pool = pool4create(ctx, 5, sizeof(Query), 5, false);
  return pool;
}

// The records a Query visits are read without record locks.
class ReadLockOff {
 public:
  explicit ReadLockOff(EngineContext* ctx) : ctx_(ctx), saved_(ctx->readLock) { ctx->readLock = 0; }
  ~ReadLockOff() { ctx_->readLock = saved_; }
  ReadLockOff(const ReadLockOff&) = delete;
  ReadLockOff& operator=(const ReadLockOff&) = delete;

 private:
  EngineContext* ctx_;
  int32_t saved_;
};

void dropCandidates(Query* q) {
  delete q->candidates;
  q->candidates = nullptr;
}

void dropCondition(Query* q) {
  expression4free(q->condition);
  q->condition = nullptr;
  dropCandidates(q);
  q->prepared = 0;
  q->positioned = 0;
}

// The candidate set reflects the tags as they are at each query4top. Lack of
// memory only means that every record is visited.
int buildCandidates(Query* q) {
  dropCandidates(q);
  CandidateSet* set = nullptr;
  const int rc = candidates4build(q->master, q->condition, &set);
  if (rc < 0) return rc;
  q->candidates = set;
  return 0;
}

int prepare(Query* q) {
  if (q->text != nullptr) {
    q->condition = expression4parse(q->master, q->text);
    if (q->condition == nullptr) return -1;
    if (q->condition->type != 'L') {
      engine4error(q->ctx, dbf::kErrExprNotOneValue, kLocationNotLogical, q->text);
      dropCondition(q);
      return -1;
    }
  }
  q->prepared = 1;
  return 0;
}

// 1 when the current record satisfies the condition, 0 when not, or a
// negative code.
int matches(Query* q) {
  Expression* e = q->condition;
  if (e == nullptr) return 1;
  const char* value = nullptr;
  const int last = e->stepCount - 1;
  const ExpressionStep& top = e->steps[last];
  if (top.row != kRowAnd) {
    const int r = expression4evaluate(e, &value);
    if (r < 0) return r;
    return value4int(value) != 0;
  }
  int end = last - 1;
  for (int k = 0; k < top.argumentCount; ++k) {
    const int r = expression4evaluateStep(e, end, &value);
    if (r < 0) return r;
    if (value4int(value) == 0) return 0;
    end -= e->steps[end].subtreeSize;
  }
  return 1;
}

// Goes to record |n| with go errors off: 0, or 3 at the end (a candidate
// beyond the last record ends the walk), or a negative code.
int goQuietly(Table* m, int32_t n) {
  const int32_t saved = m->ctx->reportGoErrors;
  m->ctx->reportGoErrors = 0;
  const int rc = table4go(m, n);
  m->ctx->reportGoErrors = saved;
  return rc == dbf::kNotFound ? table4goEof(m) : rc;
}

// Before the first candidate: on the first record, as a skip back leaves it.
int goBeginning(Table* m) {
  const int rc = goQuietly(m, 1);
  if (rc < 0) return rc;
  m->bof = true;
  return dbf::kBof;
}

// The next (previous) candidate by record number.
int stepByNumber(Query* q, int32_t dir) {
  Table* m = q->master;
  const int32_t target =
      dir > 0 ? q->candidates->next(m->recordNumber) : q->candidates->previous(m->recordNumber);
  if (target == 0) return dir > 0 ? table4goEof(m) : goBeginning(m);
  return goQuietly(m, target);
}

// The next (previous) candidate in the selected tag: keys of other records
// are passed over in the tag, without reading their records.
int stepByTag(Query* q, int32_t dir) {
  Table* m = q->master;
  int rc = m->changed ? table4flushRecord(m, false) : 0;
  if (rc == 0) rc = index4seamBeforeMove(m);
  int32_t record = 0;
  if (rc == 0) rc = index4seamSkip(m, dir, &record);
  while (rc == 0 && !q->candidates->contains(record)) {
    const int32_t moved = order4skip(m->order, dir);
    if (q->ctx->errorCode < 0) return q->ctx->errorCode;
    if (moved != dir) rc = dir > 0 ? dbf::kEof : dbf::kBof;
    record = order4recNo(m->order);
  }
  if (rc == dbf::kEof) return table4goEof(m);
  if (rc == dbf::kBof) {
    rc = record > 0 ? goQuietly(m, record) : table4goEof(m);
    m->bof = true;
    return rc < 0 ? rc : dbf::kBof;
  }
  return rc != 0 ? rc : goQuietly(m, record);
}

// Moves the master one record in direction |dir|: to the next candidate, or
// without a candidate set to the next record in its order.
int step(Query* q, int32_t dir) {
  if (q->candidates == nullptr || q->master->recordNumber <= 0) return table4skip(q->master, dir);
  return q->master->order != nullptr ? stepByTag(q, dir) : stepByNumber(q, dir);
}

// The first record in the master's order that is a candidate.
int first(Query* q) {
  Table* m = q->master;
  if (q->candidates == nullptr) return table4top(m);
  if (m->order == nullptr) {
    const int32_t n = q->candidates->next(0);
    return n == 0 ? table4goEof(m) : goQuietly(m, n);
  }
  const int rc = table4top(m);
  if (rc != 0 || q->candidates->contains(m->recordNumber)) return rc;
  return stepByTag(q, 1);
}

// Moves the master to the next matching record in direction |dir|.
int advance(Query* q, int32_t dir) {
  for (;;) {
    const int r = step(q, dir);
    if (r != 0) return r;
    const int m = matches(q);
    if (m != 0) return m < 0 ? m : 0;
  }
}

}  // namespace

Query* query4init(Table* master) {
  if (master == nullptr) {
    engine4error(nullptr, dbf::kErrNullHandle, kLocationInit);
    return nullptr;
  }
  EngineContext* ctx = master->ctx;
  if (ctx->errorCode < 0) return nullptr;
  MemoryPool* pool = queryPool(ctx);
  if (pool == nullptr) return nullptr;
  auto* q = static_cast<Query*>(pool4alloc(pool, ctx));
  if (q == nullptr) return nullptr;
  q->master = master;
  q->ctx = ctx;
  return q;
}

int query4setExpression(Query* q, const char* text) {
  if (q == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationSetExpression);
  if (q->ctx->errorCode < 0) return -1;
  dropCondition(q);
  std::free(q->text);
  q->text = nullptr;
  if (text != nullptr && text[0] != '\0') {
    const size_t length = std::strlen(text);
    q->text = static_cast<char*>(std::malloc(length + 1));
    if (q->text == nullptr) {
      engine4error(q->ctx, dbf::kErrMemory, kLocationTextCopy);
      return -1;
    }
    std::memcpy(q->text, text, length + 1);
  }
  return 0;
}

int query4top(Query* q) {
  if (q == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationTop);
  if (q->ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  if (!q->prepared && prepare(q) != 0) return -1;
  ReadLockOff noReadLock(q->ctx);
  const int built = buildCandidates(q);
  if (built < 0) return built;
  const int r = first(q);
  if (r < 0) return q->ctx->errorCode < 0 ? q->ctx->errorCode : r;
  q->positioned = 1;
  if (r != 0) return r;
  const int m = matches(q);
  if (m != 0) return m < 0 ? m : 0;
  return advance(q, 1);
}

int query4skip(Query* q, int32_t n) {
  if (q == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationSkip);
  if (q->ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  if (!q->positioned) return engine4error(q->ctx, dbf::kErrNoRecord, kLocationNeverPositioned);
  ReadLockOff noReadLock(q->ctx);
  const int32_t dir = n < 0 ? -1 : 1;
  for (int64_t left = n < 0 ? -static_cast<int64_t>(n) : n; left > 0; --left)
    if (const int r = advance(q, dir)) return r;
  return 0;
}

int query4free(Query* q, int closeMaster) {
  if (q == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationFree);
  Table* master = q->master;
  dropCondition(q);
  std::free(q->text);
  pool4free(queryPool(q->ctx), q);
  if (closeMaster && table4close(master) < 0) return -1;
  return 0;
}
