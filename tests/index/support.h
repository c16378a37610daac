// Shared set-up of the compound index tests: a scratch directory holding
// copies of the samples another program wrote, an engine context, and the
// independent checker's listing of a tag (tests/oracles/cdxcheck.py --dump).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"
#include "dbf/index/index.h"
#include "tests/table/fixture.h"

namespace cdxtest {

namespace fs = std::filesystem;

// |name| in upper case, as the engine names the files it opens.
inline std::string upperCase(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

inline fs::path sampleDir() { return fs::path(WH_SOURCE_DIR) / "tests/index/samples"; }

using tabletest::slurp;
using tabletest::spit;

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Node pointers and counts in the file header and the interior nodes are
// stored high byte first.
inline uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
         uint32_t{b[at + 3]};
}
inline void putBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// One key of a tag as the checker lists it, in tag order.
struct Entry {
  std::string key;
  int32_t record;
};

// The checker's listing of |tag| ("(single)" for a single-tag file).
inline std::vector<Entry> oracleDump(const fs::path& cdx, const std::string& tag) {
  const std::string command = "/usr/bin/python3 " +
                              (fs::path(WH_SOURCE_DIR) / "tests/oracles/cdxcheck.py").string() +
                              " --dump '" + tag + "' '" + cdx.string() + "'";
  std::vector<Entry> entries;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return entries;
  static const std::regex line(R"(^\s*\d+\s+rec (\d+)\s+([0-9a-f]*)\s)");
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::cmatch m;
    if (!std::regex_search(buffer, m, line)) continue;
    std::string key;
    const std::string hex = m[2].str();
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      key.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    entries.push_back({key, std::stoi(m[1].str())});
  }
  pclose(pipe);
  return entries;
}

// A fresh directory, made current, that receives copies of the samples.
class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("wh_cdx_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    old_ = fs::current_path();
    fs::current_path(dir_);
    init();
  }
  void TearDown() override {
    engine4free(&ctx_);
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  void init(uint8_t shareMode = 1) {
    ASSERT_EQ(engine4init(&ctx_, nullptr, kEngineVersion), 0);
    ctx_.compatibility = 30;
    ctx_.singleOpen = 0;
    ctx_.shareMode = shareMode;
  }
  // Copies sample |name| (its .dbf, .cdx and .fpt when there is one) in
  // under the upper-case names the engine uses; returns the .CDX path.
  fs::path copySample(const std::string& name) {
    const std::string upper = upperCase(name);
    for (const char* ext : {"dbf", "cdx", "fpt"}) {
      const fs::path from = sampleDir() / (name + "." + ext);
      const std::string to = upperCase(name + "." + ext);
      if (fs::exists(from)) fs::copy_file(from, dir_ / to, fs::copy_options::overwrite_existing);
    }
    return dir_ / (upper + ".CDX");
  }
  Table* open(const std::string& name) { return table4open(&ctx_, name.c_str()); }

  fs::path dir_, old_;
  EngineContext ctx_{};
};

// The tags of a Table in directory order.
inline std::vector<Tag*> tagsOf(Table* t) {
  std::vector<Tag*> tags;
  for (IndexHandle* h = t->indexes; h != nullptr; h = h->next)
    for (TagHandle* th = h->tags; th != nullptr; th = th->next) tags.push_back(th->tag);
  return tags;
}

// A key with its record number.
using Pair = std::pair<std::string, int32_t>;

// The key |t|'s record buffer has in |tag|, or none when the FOR expression
// leaves it out.
inline std::optional<std::string> keyIn(Tag* tag, Table* t) {
  if (tag->forExpression != nullptr) {
    EXPECT_EQ(expression4bind(tag->forExpression, t), 0);
    if (expression4true(tag->forExpression) != 1) return std::nullopt;
  }
  const char* key = nullptr;
  const int n = order4buildKey(tag, t, &key);
  EXPECT_EQ(n, tag->header.keyLength);
  return std::string(key, static_cast<size_t>(n < 0 ? 0 : n));
}

// The pairs of a tag in tag order, as the engine walks them.
inline std::vector<Pair> walkTag(Tag* tag) {
  std::vector<Pair> pairs;
  EXPECT_GE(order4top(tag), 0);
  while (order4eof(tag) == 0) {
    const char* data = order4keyData(tag);
    int32_t record = 0;
    std::memcpy(&record, data, 4);
    pairs.emplace_back(std::string(data + 4, tag->header.keyLength), record);
    if (order4skip(tag, 1) != 1) break;
  }
  return pairs;
}

inline std::string keyOf(Tag* tag) {
  const char* data = order4keyData(tag);
  return data == nullptr ? std::string() : std::string(data + 4, tag->header.keyLength);
}

// What the independent checker says of an index file with its table beside
// it (cdxcheck.py --dbf): whether it passed (a leaked node fails too), the
// depth and size of the trees, and the free list.
struct Verdict {
  bool ok = false;
  int deepest = 0;                   // levels of the deepest tag
  std::map<std::string, int> nodes;  // nodes of each tag
  std::set<int64_t> freeList;        // node offsets on the free list
  std::string text;
};

inline Verdict check(const std::string& table, const std::string& cdx) {
  const std::string command = "/usr/bin/python3 " WH_SOURCE_DIR
                              "/tests/oracles/cdxcheck.py --max-lines 100000 --dbf " +
                              table + " " + cdx + " 2>&1";
  Verdict v;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return v;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    v.text += line;
    // "NOTE: tag NAME: pad byte ...; 300 keys, 2 levels, 5 nodes"
    const char* tag = std::strstr(line, "NOTE: tag ");
    const char* sizes = std::strrchr(line, ';');
    int keys = 0, levels = 0, nodes = 0;
    if (tag != nullptr && sizes != nullptr &&
        std::sscanf(sizes, "; %d keys, %d levels, %d nodes", &keys, &levels, &nodes) == 3) {
      const char* name = tag + 10;
      v.deepest = std::max(v.deepest, levels);
      v.nodes[std::string(name, std::strcspn(name, ":"))] = nodes;
    }
    // "NOTE: free list: 2 node(s): 0x1400,0x1600"
    const char* list = std::strstr(line, "free list: ");
    if (list != nullptr && (list = std::strstr(list, "node(s): ")) != nullptr) {
      std::stringstream items(list + 9);
      for (std::string item; std::getline(items, item, ',');)
        if (item.rfind("0x", 0) == 0) v.freeList.insert(std::stoll(item, nullptr, 16));
    }
    if (std::strncmp(line, "OK:", 3) == 0) v.ok = true;
  }
  pclose(pipe);
  if (v.text.find("leaked") != std::string::npos) v.ok = false;
  return v;
}

}  // namespace cdxtest
