// The production index in check and info. While the data section reads the
// records, each record's own key for every tag is made through the engine's
// key expressions (FOR expressions honoured) and kept: whole when it has up
// to 8 bytes, else as a 64-bit hash. The engine then checks the structure of
// the file (index4check) and hands out every key of every tag in tree order,
// each compared with its record's at once; records that no key named are
// reported at the end. The data file is read once; memory: 16 bytes per
// record and tag (a key and what the record is to the tag, side by side: the
// tree hands keys out in key order, so each costs one cache miss, not two).
//
// Deleted records may be missing from a tag (they are found by no query that
// skips them); when one is there, its key must be its own all the same. In a
// unique tag a record may be missing when another record holds its key.
#include "tools/dbftool/indexes.h"

#include <algorithm>
#include <cstring>

#include "dbf/core/date.h"
#include "dbf/core/table.h"
#include "dbf/expr/expression.h"
#include "dbf/index/index.h"
#include "tools/dbftool/check.h"
#include "tools/dbftool/codepage.h"

namespace dbftool {

namespace {

// A 64-bit hash of a key: two lanes of 8 bytes each per step, so that long
// character keys cost a few multiplications, then a final mix.
uint64_t keyHash(const uint8_t* p, int n) {
  constexpr uint64_t kOdd1 = 0x9E3779B97F4A7C15ull, kOdd2 = 0xC2B2AE3D27D4EB4Full;
  uint64_t a = kOdd1 ^ static_cast<uint64_t>(n), b = kOdd2;
  uint64_t v, w;
  for (; n >= 16; p += 16, n -= 16) {
    std::memcpy(&v, p, 8);
    std::memcpy(&w, p + 8, 8);
    a = (a ^ v) * kOdd2;
    b = (b ^ w) * kOdd1;
    a ^= a >> 31;
    b ^= b >> 29;
  }
  v = w = 0;
  std::memcpy(&v, p, static_cast<size_t>(n < 8 ? n : 8));
  if (n > 8) std::memcpy(&w, p + 8, static_cast<size_t>(n - 8));
  uint64_t h = ((a ^ v) * kOdd2) ^ (((b ^ w) * kOdd1) >> 17) ^ (b << 23);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 33);
}

// The number a double-encoded key stands for.
double keyDouble(const uint8_t* k) {
  uint8_t b[8];
  std::memcpy(b, k, 8);
  if ((b[0] & 0x80) != 0) {
    b[0] = static_cast<uint8_t>(b[0] - 0x80);
  } else {
    for (uint8_t& c : b) c = static_cast<uint8_t>(~c);
  }
  uint64_t bits = 0;
  for (uint8_t c : b) bits = (bits << 8) | c;
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

std::string hexText(const uint8_t* k, int n) {
  std::string text = "0x";
  for (int i = 0; i < n; ++i) text += format("%02X", k[i]);
  return text;
}

// A key for messages, as the value it was made from where that can be told.
std::string keyText(const Tag* tag, const uint8_t* key, const TextDecoder& decoder) {
  int n = tag->header.keyLength;
  if (tag->nullMarker) {
    if (key[0] == 0) return "null";
    ++key;
    --n;
  }
  switch (tag->keyType) {
    case 'C': {
      if (tag->collation.kind != kCollationMachine) return hexText(key, n);
      while (n > 0 && key[n - 1] == ' ') --n;
      std::string text = "'";
      decoder.append(text, reinterpret_cast<const char*>(key), static_cast<size_t>(n));
      return text + "'";
    }
    case 'D':
    case 'd': {
      const double day = keyDouble(key);
      if (day == 0) return "blank date";
      if (!(day >= 1 && day < 1e8)) return hexText(key, n);  // no day of any calendar
      char date[9] = {};
      date4fromDayNumber(date, static_cast<int32_t>(day));
      return format("%.4s-%.2s-%.2s", date, date + 4, date + 6);
    }
    case 'N':
    case 'n':
      return n == 8 && !tag->keyExpression->usesCurrency ? format("%.15g", keyDouble(key))
                                                         : hexText(key, n);
    case 'I':
      return format("%d",
                    static_cast<int32_t>(((uint32_t{key[0]} << 24) | (uint32_t{key[1]} << 16) |
                                          (uint32_t{key[2]} << 8) | key[3]) ^
                                         0x80000000u));
    case 'L':
      return key[0] == 'T' ? ".T." : ".F.";
    default:
      return hexText(key, n);
  }
}

const char* keyKind(const Tag* tag) {
  switch (tag->keyType) {
    case 'C':
      return "character";
    case 'N':
    case 'n':
      return tag->keyExpression->usesCurrency ? "currency" : "numeric";
    case 'D':
    case 'd':
      return "date";
    case 'T':
      return "date-time";
    case 'Y':
      return "currency";
    case 'I':
      return "integer";
    case 'L':
      return "logical";
    default:
      return "";
  }
}

// The table and its index as the engine opens them: the tags with their key
// and FOR expressions, for the pad bytes of the structure check and the keys
// of the records.
class EngineIndex {
 public:
  explicit EngineIndex(Engine& engine) : engine_(engine) {}
  ~EngineIndex() {
    if (table_ != nullptr) table4close(table_);
    engine_.takeError();
  }
  EngineIndex(const EngineIndex&) = delete;
  EngineIndex& operator=(const EngineIndex&) = delete;

  // Opens the data file |dataName| and the index |indexName| for reading;
  // false with the reason in |why| (and |*tableFailed| when the table itself
  // could not be opened).
  bool open(const std::string& dataName, const std::string& indexName, std::string* why,
            bool* tableFailed) {
    table_ = openTable(engine_, dataName, Access::kRead, why, false);
    *tableFailed = table_ == nullptr;
    if (table_ == nullptr) return false;
    IndexHandle* h = index4open(table_, indexName.c_str());
    if (h == nullptr) {
      *why = engineErrorText(engine_.takeError());
      return false;
    }
    file_ = h->file;
    return true;
  }
  Table* table() const { return table_; }
  const IndexFile* file() const { return file_; }
  Tag* tagAt(const IndexCheckTag& t) const {
    if (file_ == nullptr) return nullptr;
    for (Tag* tag = file_->tags; tag != nullptr; tag = tag->next)
      if (tag->headerOffset == t.headerOffset && std::strcmp(tag->name, t.name) == 0) return tag;
    return nullptr;
  }

 private:
  Engine& engine_;
  Table* table_ = nullptr;
  const IndexFile* file_ = nullptr;
};

// What a record is to one tag.
constexpr uint8_t kBelongs = 0x01;  // it passes the FOR expression: its key belongs in the tag
constexpr uint8_t kDeleted = 0x02;
constexpr uint8_t kHeldOnce = 0x04;  // the tag holds it; with kHeldTwice, twice or more
constexpr uint8_t kHeldTwice = 0x08;

// One tag: the key each record makes, and how often the tag holds it.
struct Ledger {
  Tag* tag = nullptr;
  std::string where;
  int keyLength = 0;
  bool exact = false;       // keys of up to 8 bytes are kept whole, longer ones hashed
  bool uniqueKeys = false;  // unique or candidate: one record per key
  bool candidate = false;
  bool usable = true;  // its expressions could be evaluated on every record so far
  // Per record, side by side: the key it makes and what it is to the tag.
  struct Slot {
    uint64_t own;
    uint8_t state;
  };
  std::vector<Slot> records;
  std::vector<uint64_t> heldKeys;  // unique and candidate tags: every key held

  uint64_t fingerprint(const uint8_t* key) const {
    if (!exact) return keyHash(key, keyLength);
    uint64_t v = 0;
    for (int i = 0; i < keyLength; ++i) v = (v << 8) | key[i];
    return v;
  }
};

// Compares the keys of every tag with those of the records. The records come
// first, as the data section reads them (the key each makes, through the
// engine's expressions); then the structure check hands out the keys the
// tags hold, each compared with its record's as it comes; what no tag held
// is reported at the end.
class KeyLedger : public RecordObserver {
 public:
  KeyLedger(CheckSubject& s, ProblemSink& problems)
      : s_(s), problems_(problems), engine_(s.engine), decoder_(0) {}

  void start(const TableLayout& layout) override;
  void record(uint32_t number, const uint8_t* bytes) override;
  // A key the structure check found in a tag.
  void held(const IndexCheckTag& t, const uint8_t* key, uint32_t record);
  // The records whose keys no tag held; in a tag whose tree is damaged
  // (|damaged| holds their header offsets) only how many there are.
  void finish(const std::vector<int32_t>& damaged);

  EngineIndex& engine() { return engine_; }
  bool tried() const { return tried_; }  // the table flags an index, and it was there
  bool opened() const { return opened_; }
  const std::string& why() const { return why_; }
  bool tableFailed() const { return tableFailed_; }

 private:
  Ledger* ledgerOf(const IndexCheckTag& t);
  void stop(Ledger& l, const std::string& why);
  void keep(Ledger& l, uint32_t number, bool deleted);
  std::string keyOf(const Ledger& l, const uint8_t* key) const {
    return keyText(l.tag, key, decoder_);
  }

  CheckSubject& s_;
  ProblemSink& problems_;
  EngineIndex engine_;
  TextDecoder decoder_;
  bool tried_ = false;
  bool opened_ = false;
  bool tableFailed_ = false;
  std::string why_;
  int64_t records_ = 0;  // whole records in the data file that the header counts
  std::vector<Ledger> ledgers_;
  Ledger* last_ = nullptr;
};

void KeyLedger::start(const TableLayout& layout) {
  const std::string indexName = indexFileName(s_.files.dataName());
  if ((layout.flags & 0x01) == 0 || !file4exists(indexName.c_str())) return;
  tried_ = true;
  opened_ = engine_.open(s_.files.dataName(), indexName, &why_, &tableFailed_);
  if (!opened_) return;
  decoder_ = TextDecoder(layout.codePageMark);
  records_ = layout.recordsToRead;
  Table* t = engine_.table();
  for (Tag* tag = engine_.file()->tags; tag != nullptr; tag = tag->next) {
    Ledger l;
    l.tag = tag;
    l.where = leafOf(indexName) + " tag " + tag->name;
    l.keyLength = tag->header.keyLength;
    l.exact = l.keyLength <= 8;
    l.uniqueKeys = (tag->header.options & (dbf::kTagUnique | dbf::kTagCandidate)) != 0;
    l.candidate = (tag->header.options & dbf::kTagCandidate) != 0;
    l.records.assign(static_cast<size_t>(records_) + 1, Ledger::Slot{0, 0});
    int rc = expression4bind(tag->keyExpression, t);
    if (rc == 0 && tag->forExpression != nullptr) rc = expression4bind(tag->forExpression, t);
    ledgers_.push_back(std::move(l));
    if (rc != 0)
      stop(ledgers_.back(),
           "its expressions cannot be evaluated: " + engineErrorText(s_.engine.takeError()));
  }
}

void KeyLedger::stop(Ledger& l, const std::string& why) {
  problems_.problem(l.where, why + "; its keys were not compared with the records");
  l.usable = false;
}

void KeyLedger::record(uint32_t number, const uint8_t* bytes) {
  if (ledgers_.empty() || number > records_) return;
  Table* t = engine_.table();
  std::memcpy(t->record, bytes, t->dataFile->recordLength);
  t->recordNumber = static_cast<int32_t>(number);
  for (int i = 0; i < t->memoCount; ++i) t->memos[i].reloadNeeded = true;
  const bool deleted = bytes[0] != ' ';
  expression4lock();  // once for all the record's evaluations
  for (Ledger& l : ledgers_)
    if (l.usable) keep(l, number, deleted);
  expression4unlock();
  t->recordNumber = -1;
}

// The key record |number| makes for |l|'s tag, if its FOR expression lets it in.
void KeyLedger::keep(Ledger& l, uint32_t number, bool deleted) {
  Tag* tag = l.tag;
  Ledger::Slot& slot = l.records[number];
  uint8_t& state = slot.state;
  if (deleted) state |= kDeleted;
  if (tag->forExpression != nullptr) {
    const int passes = expression4true(tag->forExpression);
    if (passes < 0) {
      stop(l, format("its FOR expression fails on record %u: %s", number,
                     engineErrorText(s_.engine.takeError()).c_str()));
      return;
    }
    if (passes == 0) return;
  }
  const char* key = nullptr;
  const int length = expression4key(tag->keyExpression, tag, &key);
  if (length != l.keyLength) {
    stop(l, format("the key of record %u cannot be made: %s", number,
                   length < 0 ? engineErrorText(s_.engine.takeError()).c_str()
                              : "its length differs from the tag's"));
    return;
  }
  slot.own = l.fingerprint(reinterpret_cast<const uint8_t*>(key));
  state |= kBelongs;
}

Ledger* KeyLedger::ledgerOf(const IndexCheckTag& t) {
  if (last_ != nullptr && last_->tag->headerOffset == t.headerOffset) return last_;
  last_ = nullptr;
  for (Ledger& l : ledgers_)
    if (l.tag->headerOffset == t.headerOffset && std::strcmp(l.tag->name, t.name) == 0) last_ = &l;
  return last_;
}

void KeyLedger::held(const IndexCheckTag& t, const uint8_t* key, uint32_t record) {
  Ledger* l = ledgerOf(t);
  if (l == nullptr || !l->usable || record == 0) return;  // record 0: a fault of the tree
  if (record > s_.layout.recordCount) {
    problems_.problem(l->where, format("a key (%s) for record %u, but the table has %u records",
                                       keyOf(*l, key).c_str(), record, s_.layout.recordCount));
    return;
  }
  if (record > records_) return;  // beyond the end of the data file: reported there
  const uint64_t print = l->fingerprint(key);
  if (l->uniqueKeys) l->heldKeys.push_back(print);
  Ledger::Slot& slot = l->records[record];
  uint8_t& state = slot.state;
  if ((state & kHeldTwice) != 0) return;
  if ((state & kHeldOnce) != 0) {
    problems_.problem(l->where, format("record %u is in the tag twice", record));
    state |= kHeldTwice;
    return;
  }
  state |= kHeldOnce;
  if ((state & kBelongs) == 0) {
    problems_.problem(l->where, format("record %u is in the tag, but its FOR expression (%s) "
                                       "is false for it",
                                       record, expression4source(l->tag->forExpression)));
  } else if (slot.own != print) {
    std::string text = format("record %u is filed under %s, which is not its own key", record,
                              keyOf(*l, key).c_str());
    if (l->exact) {
      uint8_t own[8];
      for (int i = 0; i < l->keyLength; ++i)
        own[i] = static_cast<uint8_t>(slot.own >> (8 * (l->keyLength - 1 - i)));
      text += " (" + keyOf(*l, own) + ")";
    }
    problems_.problem(l->where, text);
  }
}

void KeyLedger::finish(const std::vector<int32_t>& damaged) {
  for (Ledger& l : ledgers_) {
    if (!l.usable) continue;
    const bool broken =
        std::find(damaged.begin(), damaged.end(), l.tag->headerOffset) != damaged.end();
    std::sort(l.heldKeys.begin(), l.heldKeys.end());
    int64_t missing = 0;
    for (int64_t n = 1; n <= records_; ++n) {
      const uint8_t state = l.records[static_cast<size_t>(n)].state;
      if ((state & (kBelongs | kHeldOnce | kDeleted)) != kBelongs) continue;
      const uint64_t own = l.records[static_cast<size_t>(n)].own;
      const bool keyHeld =
          l.uniqueKeys && std::binary_search(l.heldKeys.begin(), l.heldKeys.end(), own);
      if (keyHeld && !l.candidate) continue;
      if (broken) {
        ++missing;
        continue;
      }
      std::string text = format("record %lld is missing", static_cast<long long>(n));
      if (l.exact) {
        uint8_t key[8];
        for (int i = 0; i < l.keyLength; ++i)
          key[i] = static_cast<uint8_t>(own >> (8 * (l.keyLength - 1 - i)));
        text += " (its key: " + keyOf(l, key) + ")";
      }
      if (keyHeld) text += "; another record holds its key, which a candidate tag does not allow";
      problems_.problem(l.where, text);
    }
    if (missing > 0)
      problems_.problem(l.where,
                        format("%s %s not in what could be read of its damaged tree",
                               counted(missing, "record").c_str(), missing == 1 ? "is" : "are"));
  }
  s_.index.keysCompared = !ledgers_.empty();
}

// The hooks of the structure check.
struct CheckRun {
  CheckSubject* subject;
  ProblemSink* problems;
  EngineIndex* engine;
  KeyLedger* keys;  // null when the keys are not compared
  Progress* progress;
  std::string leaf;
  int64_t keysSeen = 0;
  std::vector<int32_t> damaged;  // header offsets of the tags with problems in their trees
};

void reportProblem(void* user, const IndexCheckTag* tag, int32_t node, const char* text) {
  auto* run = static_cast<CheckRun*>(user);
  if (tag != nullptr && !tag->directory &&
      std::find(run->damaged.begin(), run->damaged.end(), tag->headerOffset) == run->damaged.end())
    run->damaged.push_back(tag->headerOffset);
  std::string where = run->leaf;
  if (tag != nullptr) where += tag->directory ? " directory" : std::string(" tag ") + tag->name;
  if (node >= 0) where += format(", node 0x%X", static_cast<unsigned>(node));
  run->problems->problem(where, text);
}

int padOf(void* user, const IndexCheckTag* tag) {
  const Tag* t = static_cast<CheckRun*>(user)->engine->tagAt(*tag);
  return t != nullptr ? t->pad : -1;
}

void keyHeld(void* user, const IndexCheckTag* tag, const uint8_t* key, uint32_t record) {
  auto* run = static_cast<CheckRun*>(user);
  if (run->keys != nullptr) run->keys->held(*tag, key, record);
  run->progress->update(++run->keysSeen);
}

void onTagDone(void* user, const IndexCheckTag* tag) {
  auto* run = static_cast<CheckRun*>(user);
  run->subject->index.tags.push_back(*tag);
  const Tag* t = run->engine->tagAt(*tag);
  run->subject->index.kinds.push_back(t != nullptr ? keyKind(t) : "");
}

class IndexSection : public CheckSection {
 public:
  void attach(CheckSubject& s, ProblemSink& problems) override {
    if (!s.compareKeys) return;
    keys_ = std::make_unique<KeyLedger>(s, problems);
    s.recordObserver = keys_.get();
  }

  bool run(CheckSubject& s, ProblemSink& problems) override {
    IndexStatistics& ix = s.index;
    std::string error;
    const int opened = s.files.openIndex(&error);
    const std::string leaf = leafOf(s.files.indexName());
    const bool flagged = (s.layout.flags & 0x01) != 0;
    if (opened < 0) {
      problems.problem(leaf, error);
      return true;
    }
    if (opened == 0) {
      if (flagged)
        problems.problem(s.layout.leaf, format("the header flags a production index, but %s is "
                                               "missing; the table cannot be opened",
                                               leaf.c_str()));
      return true;
    }
    ix.present = true;
    ix.production = flagged;
    ix.file = s.files.indexName();
    if (!flagged)
      problems.problem(leaf,
                       "the table's header does not flag a production index (byte 28, "
                       "bit 0x01), so nothing opens this file or keeps it up to date");
    EngineIndex& engine = openEngine(s, problems, leaf);
    Progress progress(s.console, s.task + (" " + leaf), 0, "keys");
    CheckRun run{&s,        &problems,
                 &engine,   keys_ != nullptr && keys_->opened() ? keys_.get() : nullptr,
                 &progress, leaf};
    const IndexCheckHooks hooks{&run, reportProblem, padOf, keyHeld, onTagDone};
    const int rc = index4check(&s.files.index(), &hooks, &ix.summary);
    progress.finish();
    if (rc < 0) {
      problems.problem(leaf, "reading it failed: " + engineErrorText(s.engine.takeError()));
      return true;
    }
    if (run.keys != nullptr) run.keys->finish(run.damaged);
    return true;
  }

  std::string summary(const CheckSubject& s) const override {
    if (!s.index.present) return "";
    return counted(static_cast<int64_t>(s.index.tags.size()), "tag") + " with " +
           counted(s.index.summary.keys, "key");
  }

 private:
  // The engine's view of the index: the one the key comparison opened, or
  // one opened now; a failure is reported.
  EngineIndex& openEngine(CheckSubject& s, ProblemSink& problems, const std::string& leaf) {
    std::string why;
    bool tableFailed = false;
    EngineIndex* engine = nullptr;
    if (keys_ != nullptr && keys_->tried()) {
      engine = &keys_->engine();
      if (keys_->opened()) return *engine;
      why = keys_->why();
      tableFailed = keys_->tableFailed();
    } else {
      own_ = std::make_unique<EngineIndex>(s.engine);
      engine = own_.get();
      if (engine->open(s.files.dataName(), s.files.indexName(), &why, &tableFailed)) return *engine;
    }
    const bool compared = s.compareKeys && s.index.production;
    if (!tableFailed)
      problems.problem(leaf, "the engine cannot open it: " + why +
                                 (compared ? "; the keys were not compared with the records" : ""));
    else if (compared)
      problems.problem(leaf, "the keys were not compared with the records: " + why);
    return *engine;
  }

  std::unique_ptr<KeyLedger> keys_;
  std::unique_ptr<EngineIndex> own_;
};

std::string tagProperties(const IndexCheckTag& t, const std::string& kind) {
  const TagHeader& h = t.header;
  std::string text = format("%u-byte %s%skeys", h.keyLength, kind.c_str(), kind.empty() ? "" : " ");
  if ((h.options & dbf::kTagCandidate) != 0)
    text += ", candidate (unique, duplicates refused)";
  else if ((h.options & dbf::kTagUnique) != 0)
    text += ", unique";
  text += h.descending != 0 ? ", descending" : ", ascending";
  text += std::memcmp(h.collatingName, "GENERAL", 8) == 0 ? ", GENERAL" : ", machine order";
  return text;
}

}  // namespace

std::unique_ptr<CheckSection> makeIndexSection() { return std::make_unique<IndexSection>(); }

void printIndex(FILE* out, const IndexStatistics& ix) {
  if (!ix.present) return;
  const IndexCheckSummary& s = ix.summary;
  std::fprintf(out, "Index file     %s%s\n", ix.file.c_str(),
               ix.production ? " (production index)" : " (not flagged in the table's header)");
  std::fprintf(out, "  File length  %s bytes: %s in trees, %s free, %s unused\n",
               grouped(s.fileLength).c_str(), counted(s.nodes, "node").c_str(),
               grouped(s.freeNodes).c_str(), grouped(s.unusedNodes).c_str());
  std::fprintf(out, "  Tags         %lu\n", static_cast<unsigned long>(ix.tags.size()));
  for (size_t i = 0; i < ix.tags.size(); ++i) {
    const IndexCheckTag& t = ix.tags[i];
    std::string expression = t.keyExpression;
    if (t.forExpression[0] != 0) expression += std::string(" FOR ") + t.forExpression;
    std::fprintf(out, "    %-10s %s\n", t.name, expression.c_str());
    if (!t.headerSound) {
      std::fprintf(out, "               (its header cannot be read)\n");
      continue;
    }
    std::fprintf(out, "               %s; %s in %s\n",
                 tagProperties(t, i < ix.kinds.size() ? ix.kinds[i] : "").c_str(),
                 counted(t.keys, "key").c_str(), counted(t.levels, "level").c_str());
  }
}

}  // namespace dbftool
