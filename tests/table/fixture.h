// Shared set-up of the table tests: a fresh directory per test made the
// current directory, one initialised EngineContext, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"

namespace tabletest {

namespace fs = std::filesystem;

inline std::vector<uint8_t> slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void spit(const fs::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) |
         (uint32_t{b[at + 3]} << 24);
}
inline uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("wh_table_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    old_ = fs::current_path();
    fs::current_path(dir_);
    initContext(&ctx_);
  }
  void TearDown() override {
    engine4free(&ctx_);
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  static void initContext(EngineContext* ctx, int compatibility = 30) {
    ASSERT_EQ(engine4init(ctx, nullptr, kEngineVersion), 0);
    ctx->compatibility = static_cast<int16_t>(compatibility);
    ctx->singleOpen = 0;
  }
  fs::path dir_, old_;
  EngineContext ctx_{};
};

// Appends one record: columns by number, texts as given.
inline int appendTexts(Table* t, const std::vector<std::string>& texts) {
  int rc = table4appendStart(t, false);
  if (rc != 0) return rc;
  table4blank(t);
  for (size_t i = 0; i < texts.size(); ++i) {
    ColumnValue v(table4column(t, static_cast<int>(i) + 1));
    rc = column4assign(&v, texts[i].c_str());
    if (rc != 0) return rc;
  }
  return table4append(t);
}

inline std::string columnText(Table* t, int n) {
  ColumnValue v(table4column(t, n));
  return std::string(v.pointer(), v.length());
}

}  // namespace tabletest
