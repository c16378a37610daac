// The message store: moving stored message files to the new server's names,
// and building the condition that finds a message in the new MessageBag.
//
// A stored message is a file in the current directory named from its three
// ids. The old server used "A%08X%08X%03X.MSG" with only the low 16 bits of
// the third id; the new server uses "B%08X%08X%08X.MSG" with all 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Size of the message file name buffers.
inline constexpr size_t kMessageNameSize = 260;

// The old and the new file name of a message, relative to the current
// directory, into buffers of kMessageNameSize characters.
void oldMessageFileName(char* buffer, int32_t id1, int32_t id2, int32_t id3);
void newMessageFileName(char* buffer, int32_t id1, int32_t id2, int32_t id3);

// What became of a message file.
enum class MessageMove {
  Moved,           // renamed from its old to its new name just now
  AlreadyInPlace,  // no old file, and the new one exists: an earlier run moved it
  Missing,         // neither file exists
  Conflict,        // both files exist: neither is touched
  Failed,          // the old file exists alone but could not be renamed
  Ambiguous,       // several files match one of the names when case is ignored
};

// Moves the message file of these ids from its old to its new name, never
// replacing a file. Both names are found as Windows finds them, ignoring
// case ("a35a1b2c300000001012.msg" is the old file of ids 35A1B2C3, 1, 12).
// A message whose old file is gone while its new file exists counts as in
// place, so that running the migration again keeps the messages a first
// (perhaps interrupted) run moved. For Failed and Ambiguous, |problem| (when
// given) receives what went wrong, naming the files.
MessageMove moveMessageFile(int32_t id1, int32_t id2, int32_t id3, std::string* problem = nullptr);

// True when the row of a message in this state is carried over.
inline bool messageKept(MessageMove move) {
  return move == MessageMove::Moved || move == MessageMove::AlreadyInPlace;
}

// The longest search condition: three 11-character numbers in
// kFindMessageFormat, and the NUL.
inline constexpr char kFindMessageFormat[] = "MSGID1=%ld .AND. MSGID2=%ld .AND. MSGID3=%ld";
inline constexpr size_t kFindMessageConditionSize = 69;

// Writes |format| into |buffer| (|size| bytes, always NUL-terminated when
// size > 0), replacing directives by the arguments that follow:
//   %d %D %ld %lD %Ld %LD  the next argument, an int (32 bits), in decimal
//   %l or %L and another character: the three characters, no argument used
//   %s %S  the next argument, a text, as an expression constant by the table
//          layer's rules (textConstantDelimiters, tables/condition.h): in
//          single quotes, in double quotes when it holds a single quote, in
//          [ ] when it holds both quotes; a null text writes nothing
//   %%     one percent sign
//   % at the end of the format ends the output
//   % and any other character: both dropped, no argument used
// Returns the number of characters written without the NUL; 0 when buffer
// or format is null; -1 when a text holds both quotes and a bracket (no
// delimiter can enclose it, so nothing of it is written: it must not end the
// constant early and change the condition) or when the output did not fit
// (what fits is written).
int formatQuery(char* buffer, size_t size, const char* format, ...);
