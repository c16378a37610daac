// The structure check of index files (index4check) against the independent
// checker (tests/oracles/cdxcheck.py): the samples another program wrote and
// files the engine built are sound and give exactly the keys the checker
// lists; each kind of damage is named; and on random damage of every part of a
// file the two agree on whether it is sound, with nothing read out of bounds.
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "dbf/index/build.h"
#include "dbf/index/check.h"
#include "tests/index/support.h"

using namespace cdxtest;
using tabletest::le16;
using tabletest::le32;

namespace {

struct Findings {
  int status = 0;
  std::vector<std::string> problems;  // "TAG@node: text"
  std::map<std::string, std::vector<Entry>> keys;
  IndexCheckSummary summary{};
};

struct Pads {
  std::map<std::string, int> byTag;  // missing: not known
};

struct HookUser {
  Findings* findings;
  const Pads* pads;
};

void onProblem(void* user, const IndexCheckTag* tag, int32_t node, const char* text) {
  std::ostringstream line;
  line << (tag == nullptr   ? "file"
           : tag->directory ? "directory"
                            : tag->name)
       << "@" << node << ": " << text;
  static_cast<HookUser*>(user)->findings->problems.push_back(line.str());
}

int onPad(void* user, const IndexCheckTag* tag) {
  const Pads* pads = static_cast<HookUser*>(user)->pads;
  const auto it = pads->byTag.find(tag->name);
  return it == pads->byTag.end() ? -1 : it->second;
}

void onKey(void* user, const IndexCheckTag* tag, const uint8_t* key, uint32_t record) {
  static_cast<HookUser*>(user)->findings->keys[tag->name].push_back(
      {std::string(reinterpret_cast<const char*>(key), tag->header.keyLength),
       static_cast<int32_t>(record)});
}

Findings checkFile(EngineContext* ctx, const fs::path& cdx, const Pads& pads = {}) {
  Findings f;
  HookUser user{&f, &pads};
  const IndexCheckHooks hooks{&user, onProblem, onPad, onKey, nullptr};
  DiskFile file;
  const uint8_t share = ctx->shareMode;
  ctx->shareMode = 0;
  ctx->openReadOnly = 1;
  EXPECT_EQ(file4open(&file, ctx, cdx.string().c_str(), true), 0);
  f.status = index4check(&file, &hooks, &f.summary);
  file4close(&file);
  ctx->openReadOnly = 0;
  ctx->shareMode = share;
  return f;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

// The checker's verdicts on many files in one run: 0 sound, 1 problems, -1
// when the checker itself broke down on the file.
std::vector<int> oracleVerdicts(const std::vector<fs::path>& files) {
  const fs::path script = fs::temp_directory_path() / ("wh_cdx_batch_" + std::to_string(getpid()));
  std::ofstream(script) << "import sys, io, contextlib\n"
                           "sys.path.insert(0, sys.argv[1])\n"
                           "import cdxcheck\n"
                           "for path in open(sys.argv[2]).read().splitlines():\n"
                           "    rep = cdxcheck.Report(0)\n"
                           "    try:\n"
                           "        with contextlib.redirect_stdout(io.StringIO()):\n"
                           "            cdxcheck.Validator(path, rep).run()\n"
                           "        print(1 if rep.problems else 0)\n"
                           "    except Exception:\n"
                           "        print(-1)\n";
  const fs::path list = script.string() + ".list";
  std::ofstream names(list);
  for (const fs::path& f : files) names << f.string() << "\n";
  names.close();
  const std::string command = "/usr/bin/python3 " + script.string() + " " +
                              (fs::path(WH_SOURCE_DIR) / "tests/oracles").string() + " " +
                              list.string();
  std::vector<int> verdicts;
  FILE* pipe = popen(command.c_str(), "r");
  char line[64];
  while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr)
    verdicts.push_back(std::atoi(line));
  if (pipe != nullptr) pclose(pipe);
  fs::remove(script);
  fs::remove(list);
  return verdicts;
}

const ColumnDescription kColumns[] = {{"NAME", 'C', 12, 0, 0}, {"AMT", 'N', 9, 2, 0},
                                      {"BORN", 'D', 8, 0, 0},  {"ID", 'I', 4, 0, 0},
                                      {"FLAG", 'L', 1, 0, 0},  {nullptr, 0, 0, 0, 0}};

class IndexCheckTest : public IndexTest {
 protected:
  // BUILT.DBF with |n| records and its production index of five tags (one
  // descending, one unique, one with a FOR expression), built by the engine.
  fs::path buildTable(int n, int32_t collation = 0) {
    Table* t = table4create(&ctx_, "BUILT", kColumns, nullptr);
    EXPECT_NE(t, nullptr);
    std::mt19937 rng(7);
    ColumnValue name(table4column(t, 1)), amount(table4column(t, 2)), born(table4column(t, 3)),
        id(table4column(t, 4));
    for (int i = 0; i < n; ++i) {
      table4appendStart(t, false);
      table4blank(t);
      std::string text;
      for (int k = static_cast<int>(rng() % 12); k > 0; --k) text.push_back("AaBb "[rng() % 5]);
      column4assign(&name, text.c_str());
      char number[16];
      std::snprintf(number, sizeof number, "%9.2f", static_cast<int>(rng() % 4001 - 2000) / 8.0);
      column4assign(&amount, number);
      column4assign(&born, ("20" + std::to_string(10 + rng() % 80) + "0101").c_str());
      column4storeLong(id.column(), static_cast<int32_t>(rng() % 100000) - 50000);
      EXPECT_EQ(table4append(t), 0);
    }
    const TagDescription tags[] = {{"NAME", "NAME", nullptr, 0, 0},
                                   {"AMT", "AMT", nullptr, 0, dbf::kTagDescending},
                                   {"ID", "ID", nullptr, 25, 0},
                                   {"RECENT", "BORN", "AMT > 0", 0, 0},
                                   {"BOTH", "NAME + STR(AMT, 9, 2)", nullptr, 0, 0},
                                   {nullptr, nullptr, nullptr, 0, 0}};
    ctx_.newTagCollation = collation;
    EXPECT_NE(index4create(t, nullptr, tags), nullptr);
    ctx_.newTagCollation = 0;
    EXPECT_EQ(table4close(t), 0);
    return dir_ / "BUILT.CDX";
  }

  // The pad bytes of the tags of table |name| as the engine opens them.
  Pads padsOf(const std::string& name) {
    Pads pads;
    Table* t = open(name);
    EXPECT_NE(t, nullptr) << name;
    if (t == nullptr) return pads;
    for (Tag* tag : tagsOf(t)) pads.byTag[tag->name] = tag->pad;
    table4close(t);
    return pads;
  }
};

TEST_F(IndexCheckTest, SoundFilesGiveTheKeysTheOracleLists) {
  std::vector<std::pair<std::string, fs::path>> files;
  for (const char* sample : {"small", "mid", "multi", "single", "general"})
    files.emplace_back(sample, copySample(sample));
  files.emplace_back("BUILT", buildTable(700));
  for (const auto& [name, cdx] : files) {
    SCOPED_TRACE(name);
    const Pads pads = padsOf(upperCase(name));
    const Findings f = checkFile(&ctx_, cdx, pads);
    EXPECT_EQ(f.status, 0) << joined(f.problems);
    EXPECT_EQ(f.summary.tags, static_cast<int32_t>(pads.byTag.size()));
    EXPECT_EQ(f.summary.unusedNodes, 0);
    int64_t keys = 0;
    for (const auto& [tag, entries] : f.keys) {
      keys += static_cast<int64_t>(entries.size());
      const std::string listed = name == "single" ? "(single)" : tag;
      const std::vector<Entry> oracle = oracleDump(cdx, listed);
      ASSERT_EQ(entries.size(), oracle.size()) << tag;
      for (size_t i = 0; i < oracle.size(); ++i) {
        EXPECT_EQ(entries[i].key, oracle[i].key) << tag << " key " << i;
        EXPECT_EQ(entries[i].record, oracle[i].record) << tag << " key " << i;
      }
    }
    EXPECT_EQ(keys, f.summary.keys);
    // Without the pad bytes the check finds them itself.
    EXPECT_EQ(checkFile(&ctx_, cdx).status, 0);
  }
}

// A free list of nodes beyond the trees is sound; one that runs in a cycle
// or into a tree is not.
TEST_F(IndexCheckTest, FreeList) {
  const fs::path cdx = buildTable(50);
  std::vector<uint8_t> bytes = slurp(cdx);
  const auto first = static_cast<uint32_t>(bytes.size());
  bytes.resize(bytes.size() + 1024, 0);
  put32(bytes, 4, first);
  put32(bytes, first, first + 512);
  spit(cdx, bytes);
  Findings f = checkFile(&ctx_, cdx);
  EXPECT_EQ(f.status, 0) << joined(f.problems);
  EXPECT_EQ(f.summary.freeNodes, 2);

  put32(bytes, first + 512, first);
  spit(cdx, bytes);
  f = checkFile(&ctx_, cdx);
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(joined(f.problems).find("cycle"), std::string::npos) << joined(f.problems);

  put32(bytes, first + 512, le32(bytes, 1024));  // the root of the first tag
  spit(cdx, bytes);
  f = checkFile(&ctx_, cdx);
  EXPECT_NE(joined(f.problems).find("on the free-node list and in the tree"), std::string::npos)
      << joined(f.problems);
}

// Damage of each kind in a file of three levels, named by the check and
// refused by the checker too.
TEST_F(IndexCheckTest, EachKindOfDamageIsNamed) {
  const fs::path cdx = buildTable(3000);
  const std::vector<uint8_t> pristine = slurp(cdx);
  const Pads pads = padsOf("BUILT");
  // The NAME tag's header is the first: its root and the nodes below it.
  const uint32_t root = le32(pristine, 1024);
  ASSERT_EQ(le16(pristine, root), dbf::kNodeRootInterior);
  // Entry 0 of an interior node of key length 12: its child at byte 28.
  auto firstChild = [&](uint32_t node) { return be32(pristine, node + 28); };
  uint32_t leaf = firstChild(root);
  while (le16(pristine, leaf) < dbf::kNodeLeaf) leaf = firstChild(leaf);
  const uint32_t nextLeaf = le32(pristine, leaf + 8);
  ASSERT_GT(nextLeaf, 0u);

  struct Damage {
    const char* label;
    std::function<void(std::vector<uint8_t>&)> apply;
    const char* expected;
  };
  const std::vector<Damage> damages = {
      {"broken sibling chain", [&](auto& b) { put32(b, leaf + 8, 0xFFFFFFFF); }, "right sibling"},
      {"bad interior key", [&](auto& b) { b[root + 12] ^= 0x01; }, "the last key below it"},
      {"swapped leaves",
       [&](auto& b) {
         std::vector<uint8_t> a(b.begin() + leaf, b.begin() + leaf + 512);
         std::copy(b.begin() + nextLeaf, b.begin() + nextLeaf + 512, b.begin() + leaf);
         std::copy(a.begin(), a.end(), b.begin() + nextLeaf);
       },
       "out of order"},
      {"leaf widths", [&](auto& b) { b[leaf + 21] = 3; }, "duplicate and 4 trailing bits"},
      {"free count", [&](auto& b) { b[leaf + 12] ^= 0x04; }, "free count"},
      {"cycle", [&](auto& b) { putBe32(b, firstChild(root) + 28, root); }, "a second time"},
      {"child into another tag", [&](auto& b) { put32(b, 1024, le32(b, 2048)); }, "another tag"},
      {"tag header", [&](auto& b) { b[1024 + 510] = 1; }, "key expression length"},
  };
  std::vector<fs::path> copies;
  for (size_t i = 0; i < damages.size(); ++i) {
    std::vector<uint8_t> bytes = pristine;
    damages[i].apply(bytes);
    copies.push_back(dir_ / ("DAMAGE" + std::to_string(i) + ".CDX"));
    spit(copies.back(), bytes);
  }
  const std::vector<int> oracle = oracleVerdicts(copies);
  ASSERT_EQ(oracle.size(), copies.size());
  for (size_t i = 0; i < damages.size(); ++i) {
    SCOPED_TRACE(damages[i].label);
    const Findings f = checkFile(&ctx_, copies[i], pads);
    EXPECT_EQ(f.status, 1);
    EXPECT_NE(joined(f.problems).find(damages[i].expected), std::string::npos)
        << joined(f.problems);
    EXPECT_EQ(oracle[i], 1);
  }
}

// Random damage: a byte anywhere, a node header field, an offset pointed at
// another node, a node copied over another. The check and the independent
// checker agree on every file (the check finds the pad bytes itself, as the
// checker does without the table), and nothing crashes.
TEST_F(IndexCheckTest, RandomDamageAgreesWithTheOracle) {
  std::vector<fs::path> bases;
  for (const char* sample : {"small", "mid", "single", "general"})
    bases.push_back(copySample(sample));
  bases.push_back(buildTable(400));
  std::mt19937 rng(20240611);
  std::vector<fs::path> mutants;
  for (int n = 0; n < 360; ++n) {
    const fs::path& base = bases[n % bases.size()];
    std::vector<uint8_t> b = slurp(base);
    const auto nodes = static_cast<uint32_t>(b.size() / 512);
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
      const uint32_t node = 512 * (rng() % nodes);
      switch (rng() % 5) {
        case 0:
          b[rng() % b.size()] = static_cast<uint8_t>(rng());
          break;
        case 1:
          b[node + rng() % 24] = static_cast<uint8_t>(rng());
          break;
        case 2:
          put32(b, node + 4 * (rng() % 3), rng() % 4 == 0 ? 0xFFFFFFFF : 512 * (rng() % nodes));
          break;
        case 3: {
          const uint32_t other = 512 * (rng() % nodes);
          std::copy(b.begin() + other, b.begin() + other + 512, b.begin() + node);
          break;
        }
        default:
          b[node + 24 + rng() % 488] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
    }
    mutants.push_back(dir_ / ("MUTANT" + std::to_string(n) + ".CDX"));
    spit(mutants.back(), b);
  }
  const std::vector<int> oracle = oracleVerdicts(mutants);
  ASSERT_EQ(oracle.size(), mutants.size());
  int damaged = 0;
  for (size_t i = 0; i < mutants.size(); ++i) {
    if (oracle[i] < 0) continue;  // the checker could not read it: nothing to compare
    const Findings f = checkFile(&ctx_, mutants[i]);
    ASSERT_GE(f.status, 0);
    EXPECT_EQ(f.status, oracle[i]) << mutants[i] << "\n" << joined(f.problems);
    damaged += f.status;
  }
  // The damage is not all in places nobody reads.
  EXPECT_GT(damaged, 200);
}

}  // namespace
