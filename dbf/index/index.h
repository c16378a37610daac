// The compound index (.CDX) of the DBF engine: open index files, their tags,
// and positioning in tag order.
//
// A .CDX file is made of 512-byte units: a directory tag header (1024 bytes)
// whose tree lists the tags by name, one 1024-byte header per tag (the 512
// header bytes, then the key and FOR expression texts), and for every tag a
// B+ tree of 512-byte nodes. Interior nodes hold uncompressed (key, record,
// child) entries, each naming the highest key of its child; leaves hold
// bit-packed (record, duplicate count, trailing count) entries with the key
// bytes packed from the end of the node. A file whose directory header lacks
// option 0x40 is a single-tag compact index: its header at 0 is the tag.
//
// In memory an IndexFile is shared by the Tables of one DataFile (open count);
// each Table that opens it gets an IndexHandle with one TagHandle per tag. A
// Tag is also a cursor: its node stack runs from the root to the current leaf.
// Every byte read from an index file is untrusted: offsets, counts and bit
// widths are checked before use, walks are bounded, and a file that fails the
// checks is reported as damaged (-310 naming the file) instead of being read
// past its buffers.
//
// Contracts of the positioning operations (ascending and descending tags):
//   order4top / order4bottom  first / last key in tag order; 0 or a negative
//                             code. On an empty tag the tag stands at end of
//                             file.
//   order4goEof               end of file (order4eof is then 1).
//   order4skip (n)            moves up to n keys (sign = direction in tag
//                             order) and returns the number moved; at an end
//                             it stops on the last (first) key. From end of
//                             file a backward skip starts at the last key,
//                             which counts as one. A failure returns its
//                             negative code, which the context then holds (a
//                             backward count is negative too: test the
//                             context's error code).
//   order4seek (key, len)     the first key in tag order whose leading len
//                             bytes are not below the key (descending tags:
//                             not above it); len may be shorter than the key
//                             length (a partial key), longer ones are cut. 0
//                             when they equal the key; 2 when not (the tag on
//                             that next key, or at end of file when an
//                             ascending tag has none); 3 when a descending tag
//                             has none (end of file).
//   order4go (key, record)    the exact pair: 0 found; 1 the key exists with
//                             other record numbers; 2 the key is absent. In
//                             both cases the tag stands where the pair would
//                             be inserted (in physical, ascending order).
//   order4eof                 1 at end of file or in an empty tag, 0 on a key,
//                             -950 when the tag is not positioned.
//   order4recNo               record number of the current key; 0 in an empty
//                             tag, -1 at end of file, -2 when not positioned.
//   order4keyData             the decoded current key: 4 bytes of record
//                             number (host order), the key, a zero byte; null
//                             when not on a key.
// Search keys are encoded keys (expression4key with the Tag, or
// order4keyFromText). Positioning takes no lock: a node that does not match
// its parent in a file that others may write makes the operation restart from
// the root a few times (the last with the index lock byte held) before the
// file is reported as damaged.
#pragma once

#include <cstdint>

#include "dbf/core/file.h"

struct EngineContext;
struct DataFile;
struct Table;
struct Expression;
struct Tag;
struct IndexFile;
struct IndexHandle;

namespace dbf {

inline constexpr int kErrIndex = -310;    // an index file is damaged or not an index file
inline constexpr int kErrKeyType = -910;  // a key expression of a type that makes no key

inline constexpr int kIndexUnit = 512;          // node size; headers take two units
inline constexpr int kIndexHeaderSize = 1024;   // tag header plus expression area
inline constexpr int kLeafEmptyFree = 488;      // free bytes of an empty leaf
inline constexpr int kInteriorArea = 500;       // entry bytes of an interior node
inline constexpr int kMaxKeyLength = 242;       // two interior entries still fit a node
inline constexpr int kMaxTreeDepth = 32;        // more levels than 2^31 keys need
inline constexpr int32_t kRootUnknown = -1;     // root offset must be read again
inline constexpr uint32_t kTagNameLength = 10;  // directory keys

// Options byte of a tag header.
inline constexpr uint8_t kTagUnique = 0x01;
inline constexpr uint8_t kTagCandidate = 0x04;
inline constexpr uint8_t kTagHasFor = 0x08;
inline constexpr uint8_t kTagCompact = 0x20;
inline constexpr uint8_t kTagCompound = 0x40;
inline constexpr uint8_t kTagDirectory = 0x80;

// Unique modes of a tag handle (the mode used when keys are added).
inline constexpr int16_t kUniqueNone = 0;
inline constexpr int16_t kCandidateReturn = 15;
inline constexpr int16_t kUniqueReturn = 20;
inline constexpr int16_t kUniqueIgnore = 25;
inline constexpr int16_t kUniqueError = -340;
inline constexpr int16_t kCandidateError = -360;

// Node attributes (common header, offset 0).
inline constexpr uint16_t kNodeInterior = 0;
inline constexpr uint16_t kNodeRootInterior = 1;
inline constexpr uint16_t kNodeLeaf = 2;
inline constexpr uint16_t kNodeRootLeaf = 3;

}  // namespace dbf

// The decoded header of a leaf: bit widths and masks of its entries.
struct LeafLayout {
  uint16_t freeBytes;
  uint32_t recordMask;
  uint8_t duplicateMask;
  uint8_t trailingMask;
  uint8_t recordBits;
  uint8_t duplicateBits;
  uint8_t trailingBits;
  uint8_t entryBytes;  // B
};

// One 512-byte node of a tag's tree, as held in a Tag's stack or cache.
struct IndexNode {
  Tag* tag;
  int32_t offset;   // file offset of the image; -1 when it holds none
  bool changed;     // the image differs from the file (written before reuse)
  int32_t current;  // current entry; in a leaf n (the key count) is end of file
  // Leaf cursor: entry |decoded| is decoded into |keyData|; its counts and
  // the position of its stored bytes in |image|.
  int32_t duplicateCount;
  int32_t trailingCount;
  int32_t keyPosition;
  int32_t decoded;    // -1: nothing decoded yet
  LeafLayout layout;  // leaves only, checked when the node was read
  IndexNode* next;    // link in a cache or the IndexFile's pool
  // Record number (host order), the key bytes and a zero byte.
  char keyData[4 + dbf::kMaxKeyLength + 1];
  uint8_t image[dbf::kIndexUnit];
};

// The fields of a tag header that are kept in memory.
struct TagHeader {
  int32_t root;      // node offset; kRootUnknown when it must be read again
  int32_t freeHead;  // directory header only: first free node, 0 = none
  uint32_t version;  // directory header only (stored big-endian)
  uint16_t keyLength;
  uint8_t options;
  uint8_t signature;
  char collatingName[8];  // "GENERAL\0" or zeros
  uint16_t descending;    // 1 descending, 0 ascending
  uint16_t keyExpressionLength504;
  uint16_t forExpressionLength;  // with the zero byte; 1 without FOR
  uint16_t reserved508;
  uint16_t keyExpressionLength;  // with the zero byte
};

// How character keys are made: machine order, or the "GENERAL" collation
// (weights bound to the data file's code page mark).
struct Collation {
  uint8_t codePageMark;
  uint8_t kind;             // 0 machine order, 1 "GENERAL"
  const uint8_t* weights;   // 256 primary then 256 secondary weights
  const char* expansions;   // "OEAETHSS": letter pairs of the ligatures
  const uint8_t* codePage;  // characters 128..255 translated first; null: identity
};
inline constexpr uint8_t kCollationMachine = 0;
inline constexpr uint8_t kCollationGeneral = 1;

// Compares |length| stored key bytes with a search key: the number of equal
// leading bytes (|length| when all are equal), or -1 as soon as a stored byte
// is the greater one.
using KeyCompare = int (*)(const uint8_t* stored, const uint8_t* search, int length);

struct Tag {
  Tag* next;  // in the IndexFile's list, ascending by name
  IndexFile* indexFile;
  char name[11];  // upper case, trailing blanks removed
  EngineContext* ctx;
  Expression* keyExpression;  // null for the directory tag
  Expression* forExpression;  // null without FOR
  KeyCompare compare;
  char keyType;     // result type of the key expression (keys by value)
  bool nullMarker;  // keys carry the leading null-marker byte
  uint8_t pad;      // fills cut trailing bytes: blank for machine-order text
  Collation collation;
  // Position: the nodes from the root (stack[0]) to the current node. After
  // moves along the leaf chain only the leaf is current; pathStale tells that
  // the interior nodes above it no longer lead to it.
  IndexNode* stack[dbf::kMaxTreeDepth];
  int32_t depth;  // 0: not positioned
  bool pathStale;
  IndexNode* cache;  // released nodes, most recent first
  int32_t cacheCount;
  TagHeader header;
  bool rootChanged;
  int32_t headerOffset;
  int16_t uniqueMode;  // from the options: 0, 25 (unique) or 15 (candidate)
  // The zero byte at header offset 262 that the first key added to a tag
  // with a FOR expression writes is done (or the tag was just built).
  bool forMarkWritten;
  // Sibling hops in one direction since the last descent: a chain with more
  // hops than the file has nodes is a cycle.
  int32_t hops;
  int8_t hopDirection;
};

struct IndexFile {
  IndexFile* next;    // in the DataFile's list
  int32_t openCount;  // IndexHandles using it
  EngineContext* ctx;
  DataFile* dataFile;
  DiskFile file;
  bool changed;         // nodes changed since the last flush
  Tag* directory;       // null in a single-tag file
  int32_t endOfFile;    // next node offset when the free list is empty
  uint32_t version;     // the version counter last read
  IndexNode* nodePool;  // spare nodes for the tags' caches
  Tag* tags;            // ascending by name (directory order)
  int32_t tagCount;
  int32_t lockOwner;  // lock owner number holding the index lock; 0 = none
  bool production;    // stays open as long as its data file
};

// One tag as one Table uses it.
struct TagHandle {
  TagHandle* next;
  IndexHandle* index;
  Tag* tag;
  int16_t uniqueMode;  // mode of the keys this Table adds
};

// One IndexFile as one Table uses it (Table::indexes lists them).
struct IndexHandle {
  IndexHandle* next;
  Table* table;
  IndexFile* file;
  TagHandle* tags;  // in the file's tag order
};

// --- opening and closing ---

// Opens |name| (completed, default extension CDX, upper-cased) or, with no
// name, the production index (the data file's name with extension CDX) for
// |t|. An IndexFile already open on the data file is shared; one this Table
// already has is -69 (location 91707). Reads and checks every header, parses
// the key and FOR expressions against |t|, binds collations to the data
// file's code page mark and gives |t| one TagHandle per tag. Null on failure
// (the code in the context: -310 naming the file for a damaged file, -910 for
// a key type, -930 for a code page GENERAL cannot weigh, -920, or the file
// open's code). Nothing on disk changes.
IndexHandle* index4open(Table* t, const char* name);
// Drops the Table's use of the file (its tag handles; a selected tag of it is
// deselected). The file closes when its last handle goes, unless it is the
// production index, which closes with its data file. 0 or code [91702].
int index4close(IndexHandle* h);
// Closes every IndexFile left on |d| (its last user is gone). 0 or the first
// failure.
int index4closeDataFile(DataFile* d);

// The Tag of that name among |t|'s index files (case and trailing blanks
// ignored), or null; -330 with the name is reported when report-tag-name
// errors are on (location 92401).
Tag* table4tagByName(Table* t, const char* name);
// Makes |tag| order |t|'s navigation (top, skip); null selects record order.
// A tag that is not among |t|'s index files is -930 (location 92402).
int table4selectTag(Table* t, Tag* tag);
// |t|'s handle on |tag|, or null.
TagHandle* table4tagHandle(Table* t, const Tag* tag);

// Re-reads the version counter of a file that others may change (not locked
// by this process, opened with shareMode 0). 0 unchanged; 1 changed: every
// tag's cached nodes are dropped and, with |adopt|, the new counter becomes
// the cached one. Negative on a failed read.
int index4checkVersion(IndexFile* f, bool adopt);

// --- positioning (see the contracts above) ---
int order4top(Tag* tag);
int order4bottom(Tag* tag);
int order4goEof(Tag* tag);
int32_t order4skip(Tag* tag, int32_t n);
int order4seek(Tag* tag, const char* key, int length);
int order4go(Tag* tag, const char* key, int32_t record);
int order4eof(Tag* tag);
int32_t order4recNo(Tag* tag);
const char* order4keyData(Tag* tag);

// The search key of a value given as text, encoded for |tag|: character tags
// take the text as it is (machine order) or the primary weights of the
// trimmed text ("GENERAL": a case- and accent-blind prefix); numeric, date
// ("CCYYMMDD"), currency, integer and logical ("T", "Y") tags convert the text
// first. Writes at most key length bytes to |out| and returns their count, or
// a negative code.
int order4keyFromText(Tag* tag, const char* text, int length, char* out);

// --- keys and collation ---

// The number a numeric column's text stands for as a key sees it: like the
// expression language's conversion, except that a minus sign before a zero
// value gives -0.0, whose key lies below every negative number.
double key4textDouble(const char* text, int width);

// Key length of |e|'s keys: character width (twice that under GENERAL), 8 for
// numbers, dates, date-times and currency, 4 for integers, 1 for logicals,
// one more with the null marker; -910 for any other result type.
int key4length(const Expression* e, bool general, bool nullMarker);
// True when keys of |e| carry the null marker: it reads a column that accepts
// nulls and the tag is no candidate tag.
bool key4nullMarker(const Expression* e, uint8_t options);
// Binds |c| to a collation kind and the data file's code page mark. 0, or -930
// (location 81610) for a GENERAL collation on a mark other than 0, 1 and 3.
int collation4bind(Collation* c, uint8_t kind, uint8_t codePageMark, EngineContext* ctx);
// The GENERAL key of |n| bytes of text: primary weights from byte 0, the
// secondary weights right after them, zero bytes up to |outLength|.
void collation4key(const Collation* c, const char* text, int n, char* out, int outLength);
// Length of the primary part of a GENERAL key (its leading weights >= 10).
int collation4primaryLength(const uint8_t* key, int length);
// Equality of two GENERAL keys: primary parts first (a trailing blank weight
// matches the end of the other part), then the secondary parts.
bool collation4equal(const uint8_t* a, const uint8_t* b, int length);

// --- key maintenance ---
//
// Keys are added and removed one by one under the index lock (index4lock):
// a full leaf or interior node splits (the new node takes the upper half),
// splits climb to the root, and a node that loses its last key goes to the
// file's free-node list (a root becomes an empty root leaf). Changed nodes
// stay in the tag's cache until index4flush, which index4unlock runs for a
// file that others may read. An operation that fails part way (a failed read,
// write or allocation) leaves the tree in memory exactly as before it.
// Every change moves the file's version counter on, so that other processes
// see it.

// A node for a tag of |f|: the head of the free-node list when there is one,
// else the end of the file (which grows when the node is first written). The
// node offset, or a negative code (-310 for a free list that points outside
// the file, -70 for a free node cut short).
int32_t index4extend(IndexFile* f);

// Adds (key, record) to |tag| (the key encoded, key length bytes). |uniqueMode|
// applies when the tag is unique or candidate (options 0x01, 0x04): with an
// equal key present, 15 and 20 return 20, 25 returns 25 (nothing added), -340
// and -360 report -340 (location 95402). A null value (null-marker key of
// zeros) in a candidate mode gives 20 (15) or -340 (-360). 0 when added, or
// when the pair is there already. In a file others may write the caller
// holds the index lock (else -50, location 95401).
int order4addKey(Tag* tag, const char* key, int32_t record, int16_t uniqueMode);
// Removes the exact (key, record) pair: 0, 5 when the tag does not hold it, or
// a negative code. The same lock rule.
int order4removeKey(Tag* tag, const char* key, int32_t record);
// The key of |t|'s record buffer for |tag|: points |*key| at it and returns
// its length (the tag's key length), or a negative code.
int order4buildKey(Tag* tag, Table* t, const char** key);
// Adds record |record| of the handle's Table (its record buffer) to the tag
// when the FOR expression holds: 0, 20, 25 or a code as order4addKey.
int order4addRecord(TagHandle* th, int32_t record);
// Removes the key of the Table's record buffer for |record|: 0 or 5 (not
// there, or the FOR expression is false), or a negative code.
int order4removeRecord(TagHandle* th, int32_t record);

// Record writes: replaces the keys of record |record| as stored
// (t->oldRecord) by those of t->record in every tag of |t| whose key or FOR
// result differs, taking the index locks for it when |t| holds none (a write
// that changes no key takes none). 0; 20 or -340 for a duplicate refused by
// a unique tag, or another failure: every tag already changed is put back
// and the record must not be written.
int table4updateTags(Table* t, int32_t record);
// Undoes a successful table4updateTags after the record could not be written
// (runs while the context holds the write's error, which it leaves in place).
int table4undoTagUpdate(Table* t, int32_t record);
// Appends: adds the keys of t->record as record |record| to every tag of |t|
// under the index locks (taken here when not held). 0 (25 counts as success:
// that tag then lacks the record), or 20 or a code after every key already
// added was removed again.
int table4addRecordKeys(Table* t, int32_t record);
// Removes those keys again (the record could not be written); runs while the
// context holds an error, which it leaves in place.
int table4removeRecordKeys(Table* t, int32_t record);

// --- the index lock, flush and version counter ---
//
// The index lock is one byte at 0x7FFFFFFE of the .CDX. Taking it re-reads
// the file length, the free-node list head and the version counter; when the
// counter moved (another process changed the file) every cached node is
// dropped and |t|'s selected tag of the file is placed again on its key (or
// at end of file). A file opened exclusively or read-shared (modes 1, 2) is
// locked in the bookkeeping only. One Table of the process holds the lock at
// a time: another one gets 50 (-50 when lockAttempts is -1, since it would
// wait for itself). 0, 50 or a code.
int index4lock(IndexFile* f, Table* t);
// Flushes (unless the file is open exclusively: then changed nodes stay cached
// until close or index4flush) and releases the byte. 0 or a code; a flush that
// fails drops the unwritten changes and reports its code.
int index4unlock(IndexFile* f);
// Locks every IndexFile of |t|'s data file together, in the data file's
// order; when one is busy, all that |t| holds are released and the whole
// round is tried again after lockRetryDelay as often as lockAttempts allows
// (each round tries every byte once). 0, 50 or a code.
int index4lockAll(Table* t);
// Unlocks every IndexFile of |t|'s data file that |t| holds; the first failure.
int index4unlockAll(Table* t);
// True when |t| holds the lock of some IndexFile of its data file.
bool index4holdsLock(const Table* t);
// Writes what changed of a file this process has locked (or opened in mode 1
// or 2): the first 16 bytes of the directory header when the version counter
// moved, then every tag (order4flush). 0 or the first failure.
int index4flush(IndexFile* f);
// Writes the tag's changed nodes and, when it moved, its root offset.
int order4flush(Tag* tag);
