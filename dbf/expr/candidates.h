// Inside the Query: the records a condition can match, found through the
// master's tags instead of by reading every record.
//
// A comparison of a constant with an expression that is, step for step, the
// key expression of one of the master's tags (".AND." and ".OR." of such
// comparisons too) is answered by walking key ranges of that tag. The set is
// a superset of the matches: the Query still tests every candidate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct Table;
struct Expression;

// Record numbers 1..limit that may match. Held sparse (sorted record numbers)
// while they are few, so that a narrow condition costs the size of its key
// ranges; one bit per record once they are many.
class CandidateSet {
 public:
  explicit CandidateSet(int32_t limit) : limit_(limit) {}

  // Collecting: records in any order, then seal() once. May throw
  // std::bad_alloc, like every operation that grows the set.
  void add(int32_t record);
  void seal();

  void intersect(const CandidateSet& other);
  void unite(const CandidateSet& other);

  bool contains(int32_t record) const;
  // The first member above |after| (below |before|), or 0 when there is none.
  int32_t next(int32_t after) const;
  int32_t previous(int32_t before) const;

 private:
  bool sparseEnough(size_t n) const { return n <= static_cast<size_t>(limit_) / 32 + 64; }
  void makeDense();
  void setBit(int32_t record) {
    bits_[static_cast<size_t>(record) >> 6] |= uint64_t{1} << (record & 63);
  }

  int32_t limit_;
  bool dense_ = false;
  std::vector<int32_t> records_;  // sparse: sorted, unique once sealed
  std::vector<uint64_t> bits_;    // dense: bit r for record r
};

// Outcomes of candidates4build besides negative codes.
inline constexpr int kCandidatesNone = 0;      // nothing resolvable: every record
inline constexpr int kCandidatesFound = 1;     // *out holds the set
inline constexpr int kCandidatesNoMemory = 2;  // gave up for lack of memory

// The candidates of |condition| (compiled for |master|) among the master's
// records 1..record count. Negative codes are failures of the index reads.
int candidates4build(Table* master, Expression* condition, CandidateSet** out);
