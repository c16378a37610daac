// Fuzz target: any bytes as an expression text, compiled against a small
// in-memory table and, when it compiles, evaluated, read as number and logical,
// and turned into a key. Nothing may crash, read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/expr/memory_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryTable* table = [] {
    auto* t = new MemoryTable({{"NAME", 'C', 10, 0},
                               {"N", 'N', 5, 0},
                               {"AMOUNT", 'N', 9, 2},
                               {"FLAG", 'L', 1, 0},
                               {"D", 'D', 8, 0},
                               {"CNT", 'I', 4, 0},
                               {"PRICE", 'Y', 8, 4},
                               {"RATE", 'B', 8, 2},
                               {"STAMP", 'T', 8, 0}});
    t->set("NAME", "ab\xE9 cd");
    t->set("N", "-12");
    t->set("AMOUNT", "3.25");
    t->set("FLAG", "T");
    t->set("D", "19991231");
    return t;
  }();
  const std::string text(reinterpret_cast<const char*>(data), size);
  engine4errorSet(table->ctx(), 0);
  Expression* e = table->parse(text.c_str());
  if (e != nullptr) {
    const char* value = nullptr;
    expression4evaluate(e, &value);
    expression4double(e);
    expression4true(e);
    const char* key = nullptr;
    expression4key(e, nullptr, &key);
    for (int i = 0; i < e->stepCount; ++i) expression4evaluateStep(e, i, &value);
    expression4free(e);
  }
  return 0;
}
