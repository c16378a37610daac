// A MessageBag-shaped table on disk for the query tests and the benchmark:
// MSGID1-3, REFCOUNTER, SYSFLAG, RECVTIME, FILESIZE, HDRFIELD N(11,0), then
// FROMNAME, FROMHOST, RECPUSER, RECPHOST C(64): 345-byte records.
#pragma once

#include <cstdint>
#include <string>

#include "dbf/core/context.h"
#include "dbf/core/table.h"

namespace messagebag {

inline const ColumnDescription kColumns[] = {
    {"MSGID1", 'N', 11, 0, 0},     {"MSGID2", 'N', 11, 0, 0},   {"MSGID3", 'N', 11, 0, 0},
    {"REFCOUNTER", 'N', 11, 0, 0}, {"SYSFLAG", 'N', 11, 0, 0},  {"RECVTIME", 'N', 11, 0, 0},
    {"FILESIZE", 'N', 11, 0, 0},   {"HDRFIELD", 'N', 11, 0, 0}, {"FROMNAME", 'C', 64, 0, 0},
    {"FROMHOST", 'C', 64, 0, 0},   {"RECPUSER", 'C', 64, 0, 0}, {"RECPHOST", 'C', 64, 0, 0},
    {nullptr, 0, 0, 0, 0}};

inline constexpr int kRecordLength = 345;

// Appends one message with its three ids; the other numbers derive from them.
inline int appendMessage(Table* t, int32_t id1, int32_t id2, int32_t id3) {
  if (int rc = table4appendStart(t, false)) return rc;
  table4blank(t);
  const int32_t numbers[] = {id1, id2, id3, 1, 0, id1 ^ id3, 1000 + id3, 0};
  for (int i = 0; i < 8; ++i) {
    ColumnValue v(table4column(t, i + 1));
    if (int rc = column4assignLong(&v, numbers[i], -1, false)) return rc;
  }
  const std::string texts[] = {"sender" + std::to_string(id1), "example.org",
                               "user" + std::to_string(id2), "wrenhub.example"};
  for (int i = 0; i < 4; ++i) {
    ColumnValue v(table4column(t, 9 + i));
    if (int rc = column4assign(&v, texts[i].c_str())) return rc;
  }
  return table4append(t);
}

}  // namespace messagebag
