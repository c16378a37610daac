// The candidate set of a Query: which records its condition can match, found
// by walking key ranges of the master's tags.
//
// The condition is a tree of postfix steps. A comparison leaf ("=", "#",
// "<>", "<", "<=", ">", ">=") whose one side is a constant and whose other
// side is, step for step, the key expression of a usable tag becomes key
// ranges of that tag; leaves on one tag under one ".AND." are intersected
// into one walk; ".AND." intersects the sets of the children it can resolve,
// ".OR." unites them when it can resolve them all. Anything else is not
// resolvable and leaves the decision to the record test.
//
// Tags are usable when their key holds every record's value as the
// comparison sees it: no FOR expression, no null marker, no trimmed text,
// no currency form, and no unique tag that drops duplicates. Text keys in
// machine order serve every comparison; GENERAL keys (case- and accent-blind)
// only "=", as a prefix of primary weights. A text comparison looks at the
// shorter width only, and on equal leading bytes ">" holds when the column's
// text is the longer one and "<" when it is the shorter one: the ranges
// follow that rule. Numbers compare as doubles; their keys put -0.0 apart
// (below every other), so ranges holding 0 also take its key.
#include "dbf/expr/candidates.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/evaluator.h"
#include "dbf/index/index.h"

using namespace dbf;

// --- CandidateSet ---

void CandidateSet::add(int32_t record) {
  if (record < 1 || record > limit_) return;
  if (dense_) {
    setBit(record);
    return;
  }
  records_.push_back(record);
  if (!sparseEnough(records_.size())) makeDense();
}

void CandidateSet::seal() {
  if (dense_) return;
  std::sort(records_.begin(), records_.end());
  records_.erase(std::unique(records_.begin(), records_.end()), records_.end());
}

void CandidateSet::makeDense() {
  bits_.assign(static_cast<size_t>(limit_) / 64 + 1, 0);
  for (const int32_t r : records_) setBit(r);
  std::vector<int32_t>().swap(records_);
  dense_ = true;
}

void CandidateSet::intersect(const CandidateSet& other) {
  if (dense_ && other.dense_) {
    for (size_t i = 0; i < bits_.size(); ++i) bits_[i] &= other.bits_[i];
    return;
  }
  std::vector<int32_t> kept;
  const std::vector<int32_t>& from = dense_ ? other.records_ : records_;
  const CandidateSet& filter = dense_ ? *this : other;
  for (const int32_t r : from)
    if (filter.contains(r)) kept.push_back(r);
  records_.swap(kept);
  std::vector<uint64_t>().swap(bits_);
  dense_ = false;
}

void CandidateSet::unite(const CandidateSet& other) {
  if (!dense_ && !other.dense_) {
    std::vector<int32_t> merged;
    std::set_union(records_.begin(), records_.end(), other.records_.begin(), other.records_.end(),
                   std::back_inserter(merged));
    records_.swap(merged);
    if (sparseEnough(records_.size())) return;
  }
  if (!dense_) makeDense();
  if (other.dense_) {
    for (size_t i = 0; i < bits_.size(); ++i) bits_[i] |= other.bits_[i];
  } else {
    for (const int32_t r : other.records_) setBit(r);
  }
}

bool CandidateSet::contains(int32_t record) const {
  if (record < 1 || record > limit_) return false;
  if (dense_) return (bits_[static_cast<size_t>(record) >> 6] >> (record & 63)) & 1;
  return std::binary_search(records_.begin(), records_.end(), record);
}

int32_t CandidateSet::next(int32_t after) const {
  if (!dense_) {
    const auto it = std::upper_bound(records_.begin(), records_.end(), after);
    return it == records_.end() ? 0 : *it;
  }
  for (int64_t r = std::max<int64_t>(after + int64_t{1}, 1); r <= limit_;) {
    const uint64_t word = bits_[static_cast<size_t>(r >> 6)] >> (r & 63);
    if (word != 0) {
      r += __builtin_ctzll(word);
      return r <= limit_ ? static_cast<int32_t>(r) : 0;
    }
    r = ((r >> 6) + 1) << 6;
  }
  return 0;
}

int32_t CandidateSet::previous(int32_t before) const {
  if (!dense_) {
    const auto it = std::lower_bound(records_.begin(), records_.end(), before);
    return it == records_.begin() ? 0 : *(it - 1);
  }
  for (int64_t r = std::min<int64_t>(before - int64_t{1}, limit_); r >= 1;) {
    const int shift = 63 - static_cast<int>(r & 63);
    const uint64_t word = bits_[static_cast<size_t>(r >> 6)] << shift;
    if (word != 0) return static_cast<int32_t>(r - __builtin_clzll(word));
    r = (r >> 6 << 6) - 1;
  }
  return 0;
}

namespace {

// --- key ranges of one tag ---

// One end of a range: a whole key of the tag; absent means unbounded.
struct Bound {
  bool present = false;
  bool inclusive = false;
  std::array<uint8_t, kMaxKeyLength> key{};
};

struct KeyRange {
  Bound low, high;
};
using KeyRanges = std::vector<KeyRange>;

// Leading |n| bytes of |prefix|, the rest of the key filled with |fill|.
Bound boundOf(const uint8_t* prefix, int n, int keyLength, uint8_t fill, bool inclusive) {
  Bound b;
  b.present = true;
  b.inclusive = inclusive;
  std::memcpy(b.key.data(), prefix, static_cast<size_t>(n));
  std::memset(b.key.data() + n, fill, static_cast<size_t>(keyLength - n));
  return b;
}

// Orders lower (upper) bounds: negative when |a| lets in more (less).
int compareLow(const Bound& a, const Bound& b, int n) {
  if (!a.present || !b.present) return int{a.present} - int{b.present};
  const int c = std::memcmp(a.key.data(), b.key.data(), static_cast<size_t>(n));
  if (c != 0 || a.inclusive == b.inclusive) return c;
  return a.inclusive ? -1 : 1;
}
int compareHigh(const Bound& a, const Bound& b, int n) {
  if (!a.present || !b.present) return int{b.present} - int{a.present};
  const int c = std::memcmp(a.key.data(), b.key.data(), static_cast<size_t>(n));
  if (c != 0 || a.inclusive == b.inclusive) return c;
  return a.inclusive ? 1 : -1;
}

bool holds(const KeyRange& r, const uint8_t* key, int n) {
  if (r.low.present) {
    const int c = std::memcmp(key, r.low.key.data(), static_cast<size_t>(n));
    if (c < 0 || (c == 0 && !r.low.inclusive)) return false;
  }
  if (r.high.present) {
    const int c = std::memcmp(key, r.high.key.data(), static_cast<size_t>(n));
    if (c > 0 || (c == 0 && !r.high.inclusive)) return false;
  }
  return true;
}

bool nonEmpty(const KeyRange& r, int n) {
  if (!r.low.present || !r.high.present) return true;
  const int c = std::memcmp(r.low.key.data(), r.high.key.data(), static_cast<size_t>(n));
  return c < 0 || (c == 0 && r.low.inclusive && r.high.inclusive);
}

KeyRanges intersectRanges(const KeyRanges& a, const KeyRanges& b, int n) {
  KeyRanges out;
  for (const KeyRange& x : a) {
    for (const KeyRange& y : b) {
      const KeyRange r{compareLow(x.low, y.low, n) >= 0 ? x.low : y.low,
                       compareHigh(x.high, y.high, n) <= 0 ? x.high : y.high};
      if (nonEmpty(r, n)) out.push_back(r);
    }
  }
  return out;
}

enum class Relation { kEqual, kNotEqual, kGreater, kGreaterEqual, kLess, kLessEqual };

bool relationOf(int16_t code, Relation* out) {
  switch (code) {
    case kCodeEqual:
      *out = Relation::kEqual;
      return true;
    case kCodeNotEqual:
      *out = Relation::kNotEqual;
      return true;
    case kCodeGreater:
      *out = Relation::kGreater;
      return true;
    case kCodeGreaterEqual:
      *out = Relation::kGreaterEqual;
      return true;
    case kCodeLess:
      *out = Relation::kLess;
      return true;
    case kCodeLessEqual:
      *out = Relation::kLessEqual;
      return true;
    default:
      return false;
  }
}

// "c < x" is "x > c".
Relation mirror(Relation r) {
  switch (r) {
    case Relation::kGreater:
      return Relation::kLess;
    case Relation::kGreaterEqual:
      return Relation::kLessEqual;
    case Relation::kLess:
      return Relation::kGreater;
    case Relation::kLessEqual:
      return Relation::kGreaterEqual;
    default:
      return r;
  }
}

// The keys whose leading |n| bytes stand in |relation| to |prefix|. |tie|
// decides when they are equal: +1 the column's value counts as the greater
// (its text is longer), -1 as the smaller, 0 as equal.
KeyRanges rangesOf(Relation relation, const uint8_t* prefix, int n, int keyLength, int tie) {
  const Bound none;
  const Bound atLeast = boundOf(prefix, n, keyLength, 0x00, true);
  const Bound above = boundOf(prefix, n, keyLength, 0xFF, false);
  const Bound atMost = boundOf(prefix, n, keyLength, 0xFF, true);
  const Bound below = boundOf(prefix, n, keyLength, 0x00, false);
  switch (relation) {
    case Relation::kEqual:
      return {{atLeast, atMost}};
    case Relation::kNotEqual:
      return {{none, below}, {above, none}};
    case Relation::kGreater:
      return {{tie > 0 ? atLeast : above, none}};
    case Relation::kGreaterEqual:
      return {{tie >= 0 ? atLeast : above, none}};
    case Relation::kLess:
      return {{none, tie < 0 ? atMost : below}};
    case Relation::kLessEqual:
      return {{none, tie <= 0 ? atMost : below}};
  }
  return {};
}

// --- matching a side of a comparison with a tag's key expression ---

bool isConstant(const ExpressionStep& s) {
  return s.subtreeSize == 1 && (s.row == kRowNumberConstant || s.row == kRowTextConstant ||
                                (s.row >= kRowTrue && s.row <= kRowFalse + 1));
}

// Column loads that read the same column in another form count as one.
int canonicalRow(int row) {
  switch (row) {
    case kRowCharacterCopy:
      return kRowCharacterInPlace;
    case kRowNumericAsDouble:
      return kRowNumericColumn;
    case kRowDateAsDayNumber:
      return kRowDateColumn;
    case kRowIntegerAsDouble:
      return kRowIntegerColumn;
    case kRowCurrencyAsDouble:
      return kRowCurrencyColumn;
    default:
      return row;
  }
}

bool sameStep(const Expression* a, const ExpressionStep& s, const Expression* b,
              const ExpressionStep& k) {
  if (canonicalRow(s.row) != canonicalRow(k.row)) return false;
  if (s.column != nullptr || k.column != nullptr)
    return s.column != nullptr && k.column != nullptr && s.sameTable && k.sameTable &&
           s.columnNumber == k.columnNumber;
  if (s.width != k.width) return false;
  if (s.row == kRowNumberConstant || s.row == kRowTextConstant)
    return std::memcmp(a->constants + s.offset, b->constants + k.offset,
                       static_cast<size_t>(s.width)) == 0;
  return s.argumentCount == k.argumentCount && s.offset == k.offset &&
         s.longerOperand == k.longerOperand;
}

// Steps first..last of |e| against the whole of |key|.
bool sameSteps(const Expression* e, int first, int last, const Expression* key) {
  if (last - first + 1 != key->stepCount) return false;
  for (int i = 0; i < key->stepCount; ++i)
    if (!sameStep(e, e->steps[first + i], key, key->steps[i])) return false;
  return true;
}

bool usable(const TagHandle* th) {
  const Tag* tag = th->tag;
  const Expression* key = tag->keyExpression;
  if (key == nullptr || tag->forExpression != nullptr || tag->nullMarker || key->trimmed ||
      key->usesCurrency)
    return false;
  if ((tag->header.options & (kTagUnique | kTagCandidate)) == 0) return true;
  // Only modes that refuse duplicates keep every record in the tag.
  return th->uniqueMode == kUniqueReturn || th->uniqueMode == kUniqueError ||
         th->uniqueMode == kCandidateReturn || th->uniqueMode == kCandidateError;
}

// The ranges of |tag| for "key <relation> constant", or false when the tag
// cannot answer that comparison.
bool rangesFor(const Tag* tag, const Expression* e, const ExpressionStep& c, Relation relation,
               KeyRanges* out) {
  const int keyLength = tag->header.keyLength;
  uint8_t key[2 * kMaxKeyLength];
  int n = 0;
  int tie = 0;
  switch (tag->keyType) {
    case 'C': {
      if (c.row != kRowTextConstant) return false;
      const char* text = e->constants + c.offset;
      const int width = tag->keyExpression->width;
      const int cut = std::min(c.width, width);
      if (tag->collation.kind == kCollationGeneral) {
        if (relation != Relation::kEqual) return false;
        collation4key(&tag->collation, text, cut, reinterpret_cast<char*>(key), 2 * cut);
        n = std::min(collation4primaryLength(key, 2 * cut), keyLength);
      } else {
        std::memcpy(key, text, static_cast<size_t>(cut));
        n = cut;
        tie = c.width < width ? 1 : c.width > width ? -1 : 0;
      }
      break;
    }
    case 'N':
    case 'n':
      if (c.row != kRowNumberConstant) return false;
      key4encodeDouble(reinterpret_cast<char*>(key), value4double(e->constants + c.offset));
      n = 8;
      break;
    case 'L':
      if (c.row < kRowTrue || c.row > kRowFalse + 1) return false;
      if (relation != Relation::kEqual && relation != Relation::kNotEqual) return false;
      key[0] = c.row < kRowFalse ? 'T' : 'F';
      n = 1;
      break;
    default:
      return false;
  }
  *out = rangesOf(relation, key, n, keyLength, tie);
  std::erase_if(*out, [keyLength](const KeyRange& r) { return !nonEmpty(r, keyLength); });
  return true;
}

// A comparison leaf resolved: the tag to walk and its key ranges.
struct LeafPlan {
  Tag* tag = nullptr;
  KeyRanges ranges;
};

class Resolver {
 public:
  Resolver(Table* master, const Expression* e, int32_t limit)
      : master_(master), e_(e), limit_(limit) {}

  // The set of the subtree ending at step |i|: 1 with *out set, 0 when it
  // cannot be resolved, or a negative code.
  int resolve(int i, std::unique_ptr<CandidateSet>* out);

 private:
  bool leafPlan(int i, LeafPlan* plan) const;
  int resolveAnd(int i, std::unique_ptr<CandidateSet>* out);
  int resolveOr(int i, std::unique_ptr<CandidateSet>* out);
  int walk(const LeafPlan& plan, std::unique_ptr<CandidateSet>* out);

  Table* master_;
  const Expression* e_;
  int32_t limit_;
};

bool Resolver::leafPlan(int i, LeafPlan* plan) const {
  const ExpressionStep* steps = e_->steps;
  Relation relation;
  if (i < 2 || steps[i].argumentCount != 2 ||
      !relationOf(OperationTable[steps[i].row].code, &relation))
    return false;
  const int rightEnd = i - 1;
  const int leftEnd = rightEnd - steps[rightEnd].subtreeSize;
  int constant, fieldEnd;
  if (isConstant(steps[rightEnd])) {
    constant = rightEnd;
    fieldEnd = leftEnd;
  } else if (leftEnd >= 0 && isConstant(steps[leftEnd])) {
    constant = leftEnd;
    fieldEnd = rightEnd;
    relation = mirror(relation);
  } else {
    return false;
  }
  const int fieldStart = fieldEnd - steps[fieldEnd].subtreeSize + 1;
  for (IndexHandle* h = master_->indexes; h != nullptr; h = h->next) {
    for (TagHandle* th = h->tags; th != nullptr; th = th->next) {
      if (!usable(th) || !sameSteps(e_, fieldStart, fieldEnd, th->tag->keyExpression)) continue;
      if (rangesFor(th->tag, e_, steps[constant], relation, &plan->ranges)) {
        plan->tag = th->tag;
        return true;
      }
    }
  }
  return false;
}

// Walks a tree in physical order whatever the tag's direction: the set does
// not care for the order, and the ranges are in the stored (ascending) one.
class AscendingWalk {
 public:
  explicit AscendingWalk(Tag* tag) : tag_(tag), saved_(tag->header.descending) {
    tag->header.descending = 0;
  }
  ~AscendingWalk() { tag_->header.descending = saved_; }
  AscendingWalk(const AscendingWalk&) = delete;
  AscendingWalk& operator=(const AscendingWalk&) = delete;

 private:
  Tag* tag_;
  uint16_t saved_;
};

// Adds the record of every key of |tag| in |range| to |set|.
int walkRange(Tag* tag, const KeyRange& range, CandidateSet* set) {
  const int n = tag->header.keyLength;
  int rc = range.low.present
               ? order4seek(tag, reinterpret_cast<const char*>(range.low.key.data()), n)
               : order4top(tag);
  if (rc < 0) return rc;
  for (;;) {
    const char* data = order4keyData(tag);
    if (data == nullptr) return 0;  // end of the tag
    const auto* key = reinterpret_cast<const uint8_t*>(data) + 4;
    if (range.high.present) {
      const int c = std::memcmp(key, range.high.key.data(), static_cast<size_t>(n));
      if (c > 0 || (c == 0 && !range.high.inclusive)) return 0;
    }
    // The seek stands on the first key not below the lower bound; keys equal
    // to a bound that is not part of the range are passed over.
    if (!range.low.present || range.low.inclusive ||
        std::memcmp(key, range.low.key.data(), static_cast<size_t>(n)) != 0) {
      int32_t record;
      std::memcpy(&record, data, sizeof record);
      set->add(record);
    }
    const int32_t moved = order4skip(tag, 1);
    if (tag->ctx->errorCode < 0) return tag->ctx->errorCode;
    if (moved != 1) return 0;
  }
}

int Resolver::walk(const LeafPlan& plan, std::unique_ptr<CandidateSet>* out) {
  Tag* tag = plan.tag;
  int rc = index4checkVersion(tag->indexFile, false);
  if (rc < 0) return rc;
  KeyRanges ranges = plan.ranges;
  if (tag->keyType == 'N' || tag->keyType == 'n') {
    // A value written "-0" keys as -0.0, below every other key, yet compares
    // equal to 0.
    uint8_t zero[8], negativeZero[8] = {};
    key4encodeDouble(reinterpret_cast<char*>(zero), 0.0);
    for (const KeyRange& r : plan.ranges)
      if (holds(r, zero, 8)) {
        ranges.push_back(
            {boundOf(negativeZero, 8, 8, 0, true), boundOf(negativeZero, 8, 8, 0, true)});
        break;
      }
  }
  auto set = std::make_unique<CandidateSet>(limit_);
  AscendingWalk ascending(tag);
  for (const KeyRange& r : ranges) {
    rc = walkRange(tag, r, set.get());
    if (rc < 0) return rc;
  }
  set->seal();
  *out = std::move(set);
  return 1;
}

void combine(std::unique_ptr<CandidateSet>* into, std::unique_ptr<CandidateSet> set) {
  if (*into == nullptr)
    *into = std::move(set);
  else
    (*into)->intersect(*set);
}

int Resolver::resolveAnd(int i, std::unique_ptr<CandidateSet>* out) {
  std::vector<LeafPlan> plans;  // one per tag: the leaves on it, intersected
  std::unique_ptr<CandidateSet> result;
  int end = i - 1;
  for (int k = 0; k < e_->steps[i].argumentCount; ++k) {
    const int child = end;
    end -= e_->steps[child].subtreeSize;
    LeafPlan leaf;
    if (leafPlan(child, &leaf)) {
      auto same = std::find_if(plans.begin(), plans.end(),
                               [&](const LeafPlan& p) { return p.tag == leaf.tag; });
      if (same == plans.end())
        plans.push_back(std::move(leaf));
      else
        same->ranges = intersectRanges(same->ranges, leaf.ranges, leaf.tag->header.keyLength);
      continue;
    }
    std::unique_ptr<CandidateSet> set;
    const int rc = resolve(child, &set);
    if (rc < 0) return rc;
    if (rc == 1) combine(&result, std::move(set));
  }
  for (const LeafPlan& plan : plans) {
    std::unique_ptr<CandidateSet> set;
    const int rc = walk(plan, &set);
    if (rc < 0) return rc;
    combine(&result, std::move(set));
  }
  if (result == nullptr) return 0;
  *out = std::move(result);
  return 1;
}

int Resolver::resolveOr(int i, std::unique_ptr<CandidateSet>* out) {
  std::unique_ptr<CandidateSet> result;
  int end = i - 1;
  for (int k = 0; k < e_->steps[i].argumentCount; ++k) {
    const int child = end;
    end -= e_->steps[child].subtreeSize;
    std::unique_ptr<CandidateSet> set;
    const int rc = resolve(child, &set);
    if (rc <= 0) return rc;  // one child that cannot be resolved spoils the union
    if (result == nullptr)
      result = std::move(set);
    else
      result->unite(*set);
  }
  *out = std::move(result);
  return 1;
}

int Resolver::resolve(int i, std::unique_ptr<CandidateSet>* out) {
  const int row = e_->steps[i].row;
  if (row == kRowAnd) return resolveAnd(i, out);
  if (row == kRowOr) return resolveOr(i, out);
  LeafPlan plan;
  return leafPlan(i, &plan) ? walk(plan, out) : 0;
}

}  // namespace

int candidates4build(Table* master, Expression* condition, CandidateSet** out) {
  *out = nullptr;
  if (condition == nullptr || master->indexes == nullptr) return kCandidatesNone;
  const int32_t limit = table4recCount(master);
  if (limit < 0) return limit;
  try {
    Resolver resolver(master, condition, limit);
    std::unique_ptr<CandidateSet> set;
    const int rc = resolver.resolve(condition->stepCount - 1, &set);
    if (rc != 1) return rc;
    *out = set.release();
    return kCandidatesFound;
  } catch (const std::bad_alloc&) {
    return kCandidatesNoMemory;
  }
}
