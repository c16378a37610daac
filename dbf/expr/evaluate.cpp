// Running compiled expressions: the process-wide evaluation lock and state,
// whole and partial evaluation, the typed readers (double, logical), index keys
// and the binding of an Expression to another handle of its data file.
#include <cmath>
#include <cstring>
#include <mutex>

#include "dbf/core/context.h"
#include "dbf/core/date.h"
#include "dbf/core/table.h"
#include "dbf/expr/evaluator.h"
#include "dbf/index/index.h"

namespace {

// One per process, re-entrant for its owner (a calculation step evaluates
// inside the lock already held).
std::recursive_mutex& evaluationLock() { return engine4evaluationLock(); }

// The value stack, the work and constant bases and the current Expression are
// process-wide and only touched under the evaluation lock.
EvaluationState gState;

// Location numbers of this file.
constexpr int kLocationNullEvaluate = 90960;
constexpr int kLocationNotLogical = 90961;
constexpr int kLocationStepIndex = 90962;
constexpr int kLocationBind = 90964;

// Runs steps first..last; their values end in one value, returned through
// |result|. Returns the width of that value or a negative code.
int runSteps(Expression* e, int first, int last, const char** result) {
  EngineContext* ctx = e->ctx;
  if (ctx->errorCode < 0) return dbf::kErrContextHoldsError;
  if (e->forTag && *e->steps[0].recordReference == nullptr) {
    // An index expression reads its data file's slot; bind its own Table
    // when the slot is empty (no Table left: nothing to read).
    if (e->table == nullptr) return engine4error(ctx, dbf::kErrNullHandle, kLocationBind);
    if (int r = expression4bind(e, e->table)) return r;
  }
  std::lock_guard<std::recursive_mutex> hold(evaluationLock());
  const EvaluationState outer = gState;  // a nested evaluation must not disturb its caller
  gState.depth = 0;
  gState.work = e->work;
  gState.constants = e->constants;
  gState.expression = e;
  for (int i = first; i <= last; ++i) e->steps[i].evaluator(gState, e->steps[i]);
  *result = gState.stack[0];
  gState = outer;
  // A failing memo read stores its error while the steps run.
  if (ctx->errorCode < 0) return ctx->errorCode;
  return e->steps[last].width;
}

}  // namespace

void expression4lock() { evaluationLock().lock(); }
void expression4unlock() { evaluationLock().unlock(); }

int expression4evaluate(Expression* e, const char** result) {
  if (e == nullptr || result == nullptr)
    return engine4error(e != nullptr ? e->ctx : nullptr, dbf::kErrNullHandle,
                        kLocationNullEvaluate);
  return runSteps(e, 0, e->stepCount - 1, result);
}

int expression4evaluateStep(Expression* e, int stepIndex, const char** result) {
  if (e == nullptr || result == nullptr)
    return engine4error(e != nullptr ? e->ctx : nullptr, dbf::kErrNullHandle,
                        kLocationNullEvaluate);
  if (stepIndex < 0 || stepIndex >= e->stepCount)
    return engine4error(e->ctx, dbf::kErrParameter, kLocationStepIndex);
  return runSteps(e, stepIndex - e->steps[stepIndex].subtreeSize + 1, stepIndex, result);
}

double expression4double(Expression* e) {
  const char* value = nullptr;
  const int width = expression4evaluate(e, &value);
  if (width < 0) return 0.0;
  switch (e->type) {
    case 'C':
    case 'N':
      return text4double(value, width);
    case 'D':
      return date4dayNumber(value);
    case 'd':
    case 'n':
      return value4double(value);
    default:
      return 0.0;
  }
}

int expression4true(Expression* e) {
  if (e == nullptr) return engine4error(nullptr, dbf::kErrNullHandle, kLocationNullEvaluate);
  if (e->type != 'L') return engine4error(e->ctx, dbf::kErrExprNotOneValue, kLocationNotLogical);
  const char* value = nullptr;
  const int width = expression4evaluate(e, &value);
  if (width < 0) return width;
  return value4int(value) != 0 ? 1 : 0;
}

namespace {

// True when a nullable column of |e| holds null in the record being keyed.
bool readsNull(const Expression* e) {
  for (int i = 0; i < e->stepCount; ++i) {
    const ExpressionStep& s = e->steps[i];
    if (s.sameTable && s.column != nullptr && column4isNull(s.column)) return true;
  }
  return false;
}

// The GENERAL key of |width| bytes of text, twice as long. The key buffer
// holds the text first, so the weights are built from a copy.
int generalKey(const Tag* tag, const char* text, int width, char* out) {
  char copy[2 * dbf::kMaxKeyLength];
  if (width > static_cast<int>(sizeof copy)) width = static_cast<int>(sizeof copy);
  std::memcpy(copy, text, static_cast<size_t>(width));
  collation4key(&tag->collation, copy, width, out, 2 * width);
  return 2 * width;
}

}  // namespace

// Keys follow the encodings of the compound index. The Tag brings the
// "GENERAL" collation of character keys and the null marker of nullable
// columns; without a Tag neither applies.
int expression4key(Expression* e, Tag* tag, const char** key) {
  if (e == nullptr || key == nullptr)
    return engine4error(e != nullptr ? e->ctx : nullptr, dbf::kErrNullHandle,
                        kLocationNullEvaluate);
  const char* value = nullptr;
  const int width = expression4evaluate(e, &value);
  if (width < 0) return width;
  const int marker = tag != nullptr && tag->nullMarker ? 1 : 0;
  char* out = e->keyBuffer + marker;
  int length = 8;
  switch (e->type) {
    case 'C':
      length = width;
      std::memcpy(out, value, static_cast<size_t>(width));
      // Trimmed keys compare like padded ones.
      if (e->trimmed)
        for (int i = width; i > 0 && out[i - 1] == '\0'; --i) out[i - 1] = ' ';
      if (tag != nullptr && tag->collation.kind == kCollationGeneral)
        length = generalKey(tag, out, width, out);
      break;
    case 'D':
      key4encodeDouble(out, date4dayNumber(value));
      break;
    case 'N':
      key4encodeDouble(out, key4textDouble(value, width));
      break;
    case 'n':
    case 'd':
      if (e->usesCurrency) {
        const double scaled = std::nearbyint(value4double(value) * 10000.0);
        const double limit = 9.2e18;
        key4encodeInteger(out,
                          static_cast<int64_t>(std::isnan(scaled) ? 0.0
                                               : scaled > limit   ? limit
                                               : scaled < -limit  ? -limit
                                                                  : scaled),
                          8);
      } else {
        key4encodeDouble(out, value4double(value));
      }
      break;
    case 'I':
      length = 4;
      key4encodeInteger(out, value4int32le(value), 4);
      break;
    case 'Y':
      key4encodeInteger(out, value4int64le(value), 8);
      break;
    case 'T':
      key4encodeDouble(out,
                       value4int32le(value) + value4int32le(value + 4) * 1.1574074074074074e-8);
      break;
    case 'L':
      length = 1;
      out[0] = value4int(value) != 0 ? 'T' : 'F';
      break;
    default:
      length = width < e->keyCapacity - 1 - marker ? width : e->keyCapacity - 1 - marker;
      std::memcpy(out, value, static_cast<size_t>(length));
  }
  if (marker != 0) {
    // Null values sort first: a key of zeros; others behind 0x80.
    if (readsNull(e))
      std::memset(e->keyBuffer, 0, static_cast<size_t>(length) + 1);
    else
      e->keyBuffer[0] = static_cast<char>(0x80);
    length += 1;
  }
  e->keyBuffer[length] = '\0';
  *key = e->keyBuffer;
  return length;
}

int expression4bind(Expression* e, Table* handle) {
  if (e == nullptr || handle == nullptr)
    return engine4error(e != nullptr ? e->ctx : nullptr, dbf::kErrNullHandle, kLocationBind);
  DataFile* d = handle->dataFile;
  if (handle != e->table) {
    // An index expression whose Table has gone (e->table null) binds to any
    // handle of its data file.
    if (e->table != nullptr &&
        (d != e->table->dataFile || handle->columnCount != e->table->columnCount))
      return engine4error(e->ctx, dbf::kErrParameter, kLocationBind);
    std::lock_guard<std::recursive_mutex> hold(evaluationLock());
    for (int i = 0; i < e->stepCount; ++i) {
      ExpressionStep& s = e->steps[i];
      if (!s.sameTable) continue;
      // Index expressions keep reading the data file's slot.
      if (d == nullptr || s.recordReference != &d->currentRecord)
        s.recordReference = &handle->record;
      if (s.column != nullptr) s.column = &handle->columns[s.columnNumber - 1];
    }
    e->table = handle;
  }
  if (d != nullptr) d->currentRecord = handle->record;
  return 0;
}
