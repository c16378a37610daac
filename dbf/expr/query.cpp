// Queries: a walk over the records of one Table that satisfy a condition, in
// the Table's current order. The condition is compiled once per preparation;
// each visited record is tested conjunct by conjunct, last to first, so that a
// record is rejected by the first false one.
#include "dbf/expr/query.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/evaluator.h"

struct Query {
  Table* master;
  EngineContext* ctx;
  char* text;             // owned copy of the condition, or null
  Expression* condition;  // compiled on preparation
  int32_t prepared;
  int32_t evaluateEverything;  // the candidate set could not be built
  uint8_t* candidates;         // one bit per record number, or null: every record
  int32_t candidateBits;
  int32_t positioned;  // query4top has run since the last preparation
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

void dropCondition(Query* q) {
  expression4free(q->condition);
  q->condition = nullptr;
  std::free(q->candidates);
  q->candidates = nullptr;
  q->candidateBits = 0;
  q->evaluateEverything = 0;
  q->prepared = 0;
  q->positioned = 0;
}

// The candidate set narrows the walk through tags whose key expression occurs
// in the condition. It needs the tag positioning of the index code; until a
// master has tags there is nothing to narrow, and a master with tags is walked
// in full with every conjunct evaluated, which finds the same records.
void buildCandidates(Query* q) {
  if (q->master->indexes != nullptr) q->evaluateEverything = 1;
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
  buildCandidates(q);
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

// Moves the master to the next matching record in direction |dir|.
int advance(Query* q, int32_t dir) {
  for (;;) {
    const int r = table4skip(q->master, dir);
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
  const int r = table4top(q->master);
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
