// Evaluation and the query walk allocate nothing per record: every malloc,
// calloc, realloc and operator new of this test program is counted (the
// program links with --wrap for the C allocators) while a walk runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "dbf/expr/expression.h"
#include "dbf/expr/query.h"
#include "tests/expr/memory_table.h"
#include "tests/expr/message_bag.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
std::atomic<bool> refuseNew{false};  // operator new fails while set
void count() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}
long countedDuring(const auto& work) {
  allocations = 0;
  counting = true;
  work();
  counting = false;
  return allocations.load();
}
}  // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __wrap_malloc(size_t n) {
  count();
  return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t m) {
  count();
  return __real_calloc(n, m);
}
void* __wrap_realloc(void* p, size_t n) {
  count();
  return __real_realloc(p, n);
}
}

void* operator new(size_t n) {
  count();
  if (refuseNew.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = __real_malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// operator new takes its memory from malloc, so free is the matching release;
// GCC cannot see through the replacement and warns at -O2.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

TEST(Allocation, EvaluationAllocatesNothing) {
  MemoryTable t({{"NAME", 'C', 10, 0}, {"N", 'N', 11, 0}, {"D", 'D', 8, 0}});
  t.set("NAME", "abc");
  t.set("N", "42");
  t.set("D", "20000101");
  Expression* e =
      t.parse("UPPER(TRIM(NAME)) + STR(N * 2, 8) = 'ABC' .AND. DTOS(D + 1) > '2' .OR. N = 42");
  ASSERT_NE(e, nullptr);
  const long n = countedDuring([&] {
    for (int i = 0; i < 1000; ++i) {
      const char* v = nullptr;
      expression4evaluate(e, &v);
      expression4true(e);
      expression4key(e, nullptr, &v);
    }
  });
  EXPECT_EQ(n, 0);
  expression4free(e);
  // The counter does see the compiler's allocations.
  EXPECT_GT(countedDuring([&] { expression4free(t.parse("N + 1")); }), 0);
}

// The engine never throws: memory running out inside the compiler is -920.
TEST(Allocation, CompilerOutOfMemoryIsMinus920NotAnException) {
  MemoryTable t({{"NAME", 'C', 10, 0}, {"N", 'N', 11, 0}});
  int status = 0;
  Expression* e = nullptr;
  refuseNew = true;
  EXPECT_NO_THROW(e = t.parse("UPPER(NAME) = 'AB' .AND. N > 1", &status));
  refuseNew = false;
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(status, dbf::kErrMemory);
  EXPECT_EQ(t.ctx()->errorCode, dbf::kErrMemory);
  engine4errorSet(t.ctx(), 0);
  e = t.parse("UPPER(NAME) = 'AB' .AND. N > 1", &status);
  EXPECT_NE(e, nullptr);
  expression4free(e);
}

TEST(Allocation, QueryWalkAllocatesNothingPerRecord) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("wh_query_alloc_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  EngineContext ctx{};
  ASSERT_EQ(engine4init(&ctx, nullptr, kEngineVersion), 0);
  ctx.compatibility = 30;
  Table* t = table4create(&ctx, "MESSAGEBAG", messagebag::kColumns, nullptr);
  ASSERT_NE(t, nullptr);
  for (int i = 1; i <= 300; ++i) ASSERT_EQ(messagebag::appendMessage(t, i, 2, 3), 0);
  Query* q = query4init(t);
  ASSERT_NE(q, nullptr);
  ASSERT_EQ(query4setExpression(q, "MSGID1=300 .AND. MSGID2=2 .AND. MSGID3=3"), 0);
  ASSERT_EQ(query4top(q), 0);  // prepares: the compile allocates, once
  EXPECT_EQ(table4recNo(t), 300);
  const long n = countedDuring([&] {
    EXPECT_EQ(query4top(q), 0);  // a second walk over the 300 records
    EXPECT_EQ(query4skip(q, 1), dbf::kEof);
  });
  EXPECT_EQ(n, 0);
  EXPECT_EQ(query4free(q, 1), 0);
  engine4free(&ctx);
  fs::current_path(old);
  fs::remove_all(dir);
}

}  // namespace
