// The expression compiler: scans a dBASE expression, builds its postfix steps
// with an operator stack, folds the constant arguments of STR, SUBSTR, LEFT and
// RIGHT, then resolves every step's operation row, result width and work
// buffer position on a simulated value stack. The result is one allocation
// that the evaluator runs without further decisions.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "dbf/core/context.h"
#include "dbf/core/table.h"
#include "dbf/expr/evaluator.h"

namespace {

constexpr int kMaxStackValues = 19;        // a 20th value at once is -440
constexpr int kMaxNesting = 200;           // parentheses and calls inside each other
constexpr int64_t kMaxWorkSize = 8 << 20;  // larger values are refused as -920
constexpr int kMaxFoldedWidth = 65535;     // STR width and RIGHT count
constexpr int kIndexMemoWidth = 240;
constexpr int kMaxNameLength = 10;

// Location numbers of the compiler's errors.
int locationOf(int code) { return 90000 - code; }

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNameChar(char c) { return isLetter(c) || isDigit(c) || c == '_'; }
char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool equalsIgnoringCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

// Column lengths and offsets are 16-bit quantities: a character column may be
// up to 65535 bytes long, so they are read unsigned.
int64_t columnLength(const Column* c) { return static_cast<uint16_t>(c->length); }
int32_t columnOffset(const Column* c) { return static_cast<uint16_t>(c->offset); }

// A step while the text is being read.
struct DraftStep {
  int32_t row = -1;  // loads and constants: their row; operations: first row of the code
  int16_t code = 0;  // operations only
  bool isOperation = false;
  int32_t argumentCount = 0;
  Table* table = nullptr;  // column loads
  Column* column = nullptr;
  int32_t columnNumber = 0;
  int32_t constantOffset = 0;
  int32_t constantLength = 0;
  double folded[2] = {0, 0};  // STR width, decimals; SUBSTR start, count; LEFT/RIGHT count
  int foldedCount = 0;
};

// A value on the simulated stack of type resolution.
struct SimulatedValue {
  char type;
  int64_t width;
  int64_t position;
  int64_t room;  // bytes the value occupies in the work buffer
  int32_t step;
  int32_t subtreeSize;
};

struct PendingOperator {
  int32_t row;
  int16_t code;
  uint8_t precedence;
  int32_t argumentCount;
};

class Compiler {
 public:
  Compiler(Table* table, const char* text, Tag* tag)
      : table_(table), ctx_(table->ctx), tag_(tag), text_(text) {}

  Expression* compile(int* status);

 private:
  int fail(int code, const char* detail = nullptr);
  char at(size_t p) const { return text_[p]; }
  char current() const { return text_[pos_]; }
  void skipBlanks() {
    while (current() == ' ') ++pos_;
  }
  void skipOperatorSpace() {
    while (current() >= 1 && current() <= 32) ++pos_;
  }

  int parseList();
  int parseOperand(std::vector<PendingOperator>& pending);
  int parseNumberOrName();
  int parseName(size_t start);
  int parseColumn(Table* owner, size_t start);
  int parseFunction(const std::string& name);
  int foldArguments(int row, const std::vector<size_t>& argumentStarts, DraftStep& call);
  int matchOperator();
  void emitOperator(const PendingOperator& op);
  Table* findAlias(const char* name, size_t length) const;

  int resolveTypes();
  int resolveOperation(size_t index, std::vector<SimulatedValue>& stack);
  int pickRow(const DraftStep& step, SimulatedValue* args, int count);
  int setWidth(size_t index, int row, SimulatedValue* args, int count, SimulatedValue& result);
  int64_t loadWidth(const DraftStep& step) const;
  Expression* build();

  Table* table_;
  EngineContext* ctx_;
  Tag* tag_;
  const char* text_;
  size_t pos_ = 0;
  int depth_ = 0;
  int error_ = 0;
  std::vector<DraftStep> drafts_;
  std::string constants_;
  // Filled by type resolution.
  struct Resolved {
    int32_t row;
    int32_t width;
    int32_t position;
    int32_t subtreeSize;
    int32_t offset;
    int32_t longerOperand;
  };
  std::vector<Resolved> resolved_;
  char resultType_ = 0;
  int32_t resultWidth_ = 0;
  int64_t workSize_ = 0;
  bool variableWidthSeen_ = false;  // a memo load, TRIM, LTRIM, ALLTRIM or calculation so far
};

int Compiler::fail(int code, const char* detail) {
  if (error_ == 0) error_ = code;
  const bool report = code == dbf::kErrColumnName ? ctx_->reportColumnNameErrors != 0
                                                  : ctx_->reportExpressionErrors != 0;
  if (report) engine4error(ctx_, code, locationOf(code), text_, detail);
  return code;
}

Table* Compiler::findAlias(const char* name, size_t length) const {
  length = std::min<size_t>(length, kMaxNameLength);
  auto matches = [&](Table* t) {
    return std::strlen(t->alias) == length && equalsIgnoringCase(t->alias, name, length);
  };
  if (matches(table_)) return table_;
  for (Table* t = ctx_->defaultGroup.first; t != nullptr; t = t->nextInGroup)
    if (matches(t)) return t;
  return nullptr;
}

// One expression up to the end of the text, ")" or ",": operands and binary
// operators alternately, emitted in postfix order by precedence.
int Compiler::parseList() {
  if (++depth_ > kMaxNesting) return fail(dbf::kErrExprCompile, "nested too deeply");
  std::vector<PendingOperator> pending;
  for (;;) {
    if (int r = parseOperand(pending)) return r;
    skipOperatorSpace();
    const char c = current();
    if (c == '\0' || c == ')' || c == ',') break;
    const int row = matchOperator();
    if (row < 0) return fail(dbf::kErrExprOperator, text_ + pos_);
    const OperationRow& op = OperationTable[row];
    pos_ += op.nameLength;
    bool merged = false;
    while (!pending.empty() && pending.back().precedence >= op.precedence) {
      // a .AND. b .AND. c is one .AND. of three arguments.
      if ((op.code == kCodeAnd || op.code == kCodeOr) && pending.back().code == op.code) {
        ++pending.back().argumentCount;
        merged = true;
        break;
      }
      emitOperator(pending.back());
      pending.pop_back();
    }
    if (!merged) pending.push_back({row, op.code, op.precedence, 2});
  }
  while (!pending.empty()) {
    emitOperator(pending.back());
    pending.pop_back();
  }
  --depth_;
  return 0;
}

void Compiler::emitOperator(const PendingOperator& op) {
  DraftStep s;
  s.row = op.row;
  s.code = op.code;
  s.isOperation = true;
  s.argumentCount = op.argumentCount;
  drafts_.push_back(s);
}

// Rows 21-71 in table order, each by the length of its name, so that "<>"
// wins over "<" and "**" over "*".
int Compiler::matchOperator() {
  for (int row = kRowFirstOperator; row <= kRowLastOperator; ++row) {
    const OperationRow& op = OperationTable[row];
    if (op.name == nullptr) continue;
    // A mismatch at the terminating zero stops the comparison in time.
    if (equalsIgnoringCase(text_ + pos_, op.name, op.nameLength)) return row;
  }
  return -1;
}

int Compiler::parseOperand(std::vector<PendingOperator>& pending) {
  skipBlanks();
  const char c = current();
  if (c == '(') {
    ++pos_;
    if (int r = parseList()) return r;
    skipOperatorSpace();
    if (current() != ')') return fail(dbf::kErrExprParenMissing);
    ++pos_;
    return 0;
  }
  if (c == '.') {
    for (int row = kRowTrue; row <= kRowNot; ++row) {
      const OperationRow& op = OperationTable[row];
      if (!equalsIgnoringCase(text_ + pos_, op.name, op.nameLength)) continue;
      pos_ += op.nameLength;
      if (row == kRowNot) {
        // The operand is read first; .NOT. then waits on the operator stack
        // without pushing out what is already there (it binds to its right).
        // A chain of .NOT.s recurses like parentheses and counts against the
        // same nesting limit, so hostile text cannot exhaust the stack.
        if (++depth_ > kMaxNesting) return fail(dbf::kErrExprCompile, "nested too deeply");
        if (int r = parseOperand(pending)) return r;
        --depth_;
        pending.push_back({row, op.code, op.precedence, 1});
        return 0;
      }
      DraftStep s;
      s.row = row;
      drafts_.push_back(s);
      return 0;
    }
  }
  if (c == '"' || c == '\'' || c == '[') {
    const char closing = c == '[' ? ']' : c;
    const char* end = std::strchr(text_ + pos_ + 1, closing);
    if (end == nullptr) return fail(dbf::kErrExprQuote, text_ + pos_);
    DraftStep s;
    s.row = kRowTextConstant;
    s.constantOffset = static_cast<int32_t>(constants_.size());
    s.constantLength = static_cast<int32_t>(end - (text_ + pos_ + 1));
    constants_.append(text_ + pos_ + 1, static_cast<size_t>(s.constantLength));
    drafts_.push_back(s);
    pos_ = static_cast<size_t>(end - text_) + 1;
    return 0;
  }
  return parseNumberOrName();
}

int Compiler::parseNumberOrName() {
  const size_t start = pos_;
  const char c = current();
  if (!(isDigit(c) || c == '+' || c == '-' || c == '.')) return parseName(start);
  size_t p = start + 1;
  bool digits = isDigit(c);
  for (; isDigit(at(p)) || at(p) == '.'; ++p) {
    if (at(p) == '.') {
      // The dot of a following .AND., .OR. or .NOT., or one before a letter,
      // ends the number: "3.AND.X" is 3 .AND. X.
      if (isLetter(at(p + 1))) break;
    } else {
      digits = true;
    }
  }
  if (isLetter(at(p))) return parseName(start);  // "5A" is a name; "-A" fails there
  if (!digits) return fail(dbf::kErrExprOperand, text_ + start);
  const std::string number(text_ + start, p - start);
  const double value = std::strtod(number.c_str(), nullptr);
  constants_.append((8 - constants_.size() % 8) % 8, '\0');
  DraftStep s;
  s.row = kRowNumberConstant;
  s.constantOffset = static_cast<int32_t>(constants_.size());
  s.constantLength = 8;
  constants_.append(reinterpret_cast<const char*>(&value), sizeof value);
  drafts_.push_back(s);
  pos_ = p;
  return 0;
}

int Compiler::parseName(size_t start) {
  size_t p = start;
  while (isNameChar(at(p))) ++p;
  if (p == start) return fail(dbf::kErrExprOperand, text_ + start);
  const size_t length = p - start;
  size_t q = p;
  while (at(q) == ' ') ++q;
  if (at(q) == '(') {
    std::string name(text_ + start, length);
    for (char& ch : name) ch = upperAscii(ch);
    pos_ = q + 1;
    return parseFunction(name);
  }
  if (at(p) == '-' && at(p + 1) == '>') {
    Table* owner = findAlias(text_ + start, length);
    if (owner == nullptr) return fail(dbf::kErrExprAlias, text_ + start);
    if (tag_ != nullptr && owner != table_) return fail(dbf::kErrExprForeignAlias, text_ + start);
    pos_ = p + 2;
    skipBlanks();
    return parseColumn(owner, pos_);
  }
  if (at(p) == '.') {
    Table* owner = findAlias(text_ + start, length);
    if (owner != nullptr && isNameChar(at(p + 1))) {
      if (tag_ != nullptr && owner != table_) return fail(dbf::kErrExprForeignAlias, text_ + start);
      return parseColumn(owner, p + 1);
    }
  }
  return parseColumn(table_, start);
}

int Compiler::parseColumn(Table* owner, size_t start) {
  size_t p = start;
  while (isNameChar(at(p))) ++p;
  const size_t length = p - start;
  if (length == 0 || length > kMaxNameLength) return fail(dbf::kErrExprOperand, text_ + start);
  pos_ = p;
  const std::string name(text_ + start, length);
  for (int i = 0; i < owner->columnCount; ++i) {
    Column* column = &owner->columns[i];
    if (std::strlen(column->name) != length ||
        !equalsIgnoringCase(column->name, name.c_str(), length))
      continue;
    DraftStep s;
    s.table = owner;
    s.column = column;
    s.columnNumber = i + 1;
    switch (column->type) {
      // Fixed-width types must have their width: the loads read that many
      // bytes (a B column of the older layout is a memo reference instead).
      case 'B':
        s.row = column->length == 8 ? kRowDoubleColumn : -1;
        break;
      case 'C':
        s.row = kRowCharacterInPlace;
        break;
      case 'D':
        s.row = column->length == 8 ? kRowDateColumn : -1;
        break;
      case 'F':
      case 'N':
        s.row = kRowNumericColumn;
        break;
      case 'I':
        s.row = column->length == 4 ? kRowIntegerColumn : -1;
        break;
      case 'L':
        s.row = column->length >= 1 ? kRowLogicalColumn : -1;
        break;
      case 'M':
        s.row = kRowMemoColumn;
        break;
      case 'T':
        s.row = column->length == 8 ? kRowDateTimeColumn : -1;
        break;
      case 'Y':
        s.row = column->length == 8 ? kRowCurrencyColumn : -1;
        break;
      default:
        s.row = -1;
    }
    if (s.row < 0) return fail(dbf::kErrExprType, name.c_str());
    drafts_.push_back(s);
    return 0;
  }
  return fail(dbf::kErrColumnName, name.c_str());
}

int Compiler::parseFunction(const std::string& name) {
  int row = -1;
  for (int r = kRowFirstFunction; r < kRowEnd; ++r) {
    const OperationRow& op = OperationTable[r];
    if (op.name != nullptr && name == op.name) {
      row = r;
      break;
    }
  }
  // No calculations are registered in this engine, so any other name ends here.
  if (row < 0) return fail(dbf::kErrExprFunction, name.c_str());

  std::vector<size_t> argumentStarts;
  skipBlanks();
  if (current() == ')') {
    ++pos_;
  } else {
    for (;;) {
      argumentStarts.push_back(drafts_.size());
      if (int r = parseList()) return r;
      skipOperatorSpace();
      if (current() == ',') {
        ++pos_;
        continue;
      }
      if (current() == ')') {
        ++pos_;
        break;
      }
      if (current() == '\0') return fail(dbf::kErrExprParenMissing, name.c_str());
      return fail(dbf::kErrExprCommaOrParen, name.c_str());
    }
  }

  DraftStep call;
  call.row = row;
  call.code = OperationTable[row].code;
  call.isOperation = true;
  call.argumentCount = static_cast<int32_t>(argumentStarts.size());
  if (int r = foldArguments(row, argumentStarts, call)) return r;
  drafts_.push_back(call);
  return 0;
}

// STR, SUBSTR, LEFT and RIGHT take their further arguments as numeric
// constants folded into the step; DTOC with a second argument is DTOS.
int Compiler::foldArguments(int row, const std::vector<size_t>& argumentStarts, DraftStep& call) {
  const int count = static_cast<int>(argumentStarts.size());
  const char* name = OperationTable[row].name;
  int minimum = -1, maximum = -1;
  switch (call.code) {
    case kCodeStr:
      minimum = 1, maximum = 3;
      break;
    case kCodeSubstr:
      minimum = 2, maximum = 3;
      break;
    case kCodeLeft:
    case kCodeRight:
      minimum = 2, maximum = 2;
      break;
    default:
      break;
  }
  if (minimum > 0) {
    if (count < minimum || count > maximum) return fail(dbf::kErrExprArgCount, name);
    for (int i = 1; i < count; ++i) {
      const size_t first = argumentStarts[i];
      const size_t end = i + 1 < count ? argumentStarts[i + 1] : drafts_.size();
      if (end - first != 1 || drafts_[first].row != kRowNumberConstant)
        return fail(dbf::kErrExprConstantArg, name);
      std::memcpy(&call.folded[i - 1], constants_.data() + drafts_[first].constantOffset, 8);
    }
    call.foldedCount = count - 1;
    drafts_.resize(argumentStarts.size() > 1 ? argumentStarts[1] : drafts_.size());
    call.argumentCount = 1;
    return 0;
  }
  if (call.code == kCodeDtoc && count == 2) {
    drafts_.resize(argumentStarts[1]);
    call.row = kRowFirstFunction + 6;  // DTOS
    call.code = kCodeDtos;
    call.argumentCount = 1;
    return 0;
  }
  if (OperationTable[row].argumentCount != kAnyArgumentCount &&
      OperationTable[row].argumentCount != count)
    return fail(dbf::kErrExprArgCount, name);
  return 0;
}

int64_t Compiler::loadWidth(const DraftStep& s) const {
  switch (s.row) {
    case kRowTextConstant:
      return s.constantLength;
    case kRowNumberConstant:
      return 8;
    case kRowLogicalColumn:
    case kRowIntegerColumn:
      return 4;
    case kRowMemoColumn:
      return tag_ != nullptr ? kIndexMemoWidth : std::max(0, ctx_->memoExpressionWidth);
    default:
      if (s.column != nullptr) return columnLength(s.column);
      return 4;  // logical constants
  }
}

namespace {

// Values of these types take at least 8 bytes: they may become doubles.
int64_t roomFor(char type, int64_t width) {
  return (type == 'D' || type == 'I' || type == 'N') ? std::max<int64_t>(width, 8) : width;
}

// The load row that turns a column value into what an operation needs.
int convertedRow(int row, char wanted) {
  if (wanted == 'd' && row == kRowDateColumn) return kRowDateAsDayNumber;
  if (wanted != 'n') return -1;
  switch (row) {
    case kRowNumericColumn:
      return kRowNumericAsDouble;
    case kRowIntegerColumn:
      return kRowIntegerAsDouble;
    case kRowCurrencyColumn:
      return kRowCurrencyAsDouble;
    default:
      return -1;
  }
}

bool worksOnTextInPlace(int row) {
  return row == kRowMemoColumn || row == kRowConcatenate || row == kRowConcatenateTrimmed ||
         row == kRowConcatenateBlanksBehind || row == 75 || row == 77 || (row >= 82 && row <= 86) ||
         (row >= 107 && row <= 120);
}

}  // namespace

// The first row of the operation whose argument types fit: exact fits first,
// then fits through the column conversions D->d, N->n, I->n and Y->n, which
// are then applied to the argument loads.
int Compiler::pickRow(const DraftStep& step, SimulatedValue* args, int count) {
  for (int pass = 0; pass < 2; ++pass) {
    for (int row = step.row; row < kRowEnd && OperationTable[row].code == step.code; ++row) {
      const OperationRow& op = OperationTable[row];
      if (op.argumentCount != kAnyArgumentCount && op.argumentCount != count) continue;
      bool fits = true;
      for (int j = 0; j < count && fits; ++j) {
        const char wanted =
            op.argumentCount == kAnyArgumentCount ? op.argumentTypes[0] : op.argumentTypes[j];
        if (args[j].type == wanted) continue;
        fits = pass == 1 && convertedRow(resolved_[args[j].step].row, wanted) >= 0;
      }
      if (!fits) continue;
      for (int j = 0; j < count; ++j) {
        const char wanted =
            op.argumentCount == kAnyArgumentCount ? op.argumentTypes[0] : op.argumentTypes[j];
        if (args[j].type == wanted) continue;
        Resolved& load = resolved_[args[j].step];
        load.row = convertedRow(load.row, wanted);
        load.width = 8;
        args[j].type = wanted;
        args[j].width = 8;
      }
      return row;
    }
  }
  return -1;
}

int Compiler::setWidth(size_t index, int row, SimulatedValue* args, int count,
                       SimulatedValue& result) {
  const DraftStep& d = drafts_[index];
  Resolved& r = resolved_[index];
  const OperationRow& op = OperationTable[row];
  result.type = op.resultType;
  const int64_t argWidth = count > 0 ? args[0].width : 0;
  int64_t width = op.resultType == 'L' ? 4 : 8;
  auto folded = [&](int i) { return double4clampInt(d.folded[i], -(1 << 30), 1 << 30); };
  switch (d.code) {
    case kCodePlus:
    case kCodeMinus:
      if (op.resultType == 'C') width = args[0].width + args[1].width;
      break;
    case 120:  // CHR
    case 130:  // DEL
      width = 1;
      break;
    case kCodeStr: {
      int32_t w = d.foldedCount >= 1 ? folded(0) : 10;
      if (w < 0) w = 10;
      if (w > kMaxFoldedWidth) return fail(dbf::kErrExprConstantArg, "STR");
      int32_t decimals = d.foldedCount >= 2 ? folded(1) : 0;
      if (decimals + 1 >= w) decimals = w - 2;
      if (decimals < 0) decimals = 0;
      width = w;
      r.offset = decimals;
      break;
    }
    case kCodeSubstr:
    case kCodeLeft: {
      int64_t start = d.code == kCodeSubstr ? std::max(0, folded(0) - 1) : 0;
      start = std::min(start, argWidth);
      const int64_t avail = argWidth - start;
      int64_t wanted = d.code == kCodeSubstr ? (d.foldedCount >= 2 ? folded(1) : avail) : folded(0);
      wanted = std::max<int64_t>(wanted, 0);
      width = std::min(wanted, avail);
      r.offset = static_cast<int32_t>(start);
      break;
    }
    case kCodeRight: {
      const int64_t wanted = std::max(folded(0), 0);
      if (wanted > kMaxFoldedWidth) return fail(dbf::kErrExprConstantArg, "RIGHT");
      width = wanted;
      r.offset = static_cast<int32_t>(std::max<int64_t>(argWidth - wanted, 0));
      break;
    }
    case 160:  // TIME
    case kCodeDtos:
      width = 8;
      break;
    case kCodeDtoc:
      width = static_cast<int64_t>(strnlen(ctx_->dateFormat, sizeof ctx_->dateFormat));
      break;
    case 170:  // UPPER
    case kCodeTrim:
    case kCodeLtrim:
    case kCodeAlltrim:
      width = argWidth;
      break;
    case kCodeIif:
      if (op.resultType == 'C') {
        if (args[1].width != args[2].width) return fail(dbf::kErrExprIifWidth, "IIF");
        width = args[1].width;
      }
      break;
    case 420:  // DESCEND
    case 430:  // ASCEND
      if (args[0].type == 'T' || args[0].type == 'd' || args[0].type == 'n')
        width = 8;
      else if (args[0].type == 'L')
        width = 1;
      else
        width = argWidth;
      break;
    default:
      break;
  }
  // Two texts compared: the shorter width decides, and which one is longer.
  if (op.resultType == 'L' && count == 2 && args[0].type == 'C' && args[1].type == 'C') {
    r.offset = static_cast<int32_t>(std::min(args[0].width, args[1].width));
    r.longerOperand = args[0].width > args[1].width ? 1 : args[1].width > args[0].width ? 2 : 0;
  }
  result.width = width;
  return 0;
}

int Compiler::resolveOperation(size_t index, std::vector<SimulatedValue>& stack) {
  const DraftStep& d = drafts_[index];
  const int count = d.argumentCount;
  if (static_cast<int>(stack.size()) < count) return fail(dbf::kErrExprNotOneValue);
  SimulatedValue* args = stack.data() + stack.size() - count;
  int row = pickRow(d, args, count);
  if (row < 0) return fail(dbf::kErrExprType, OperationTable[d.row].name);
  if (worksOnTextInPlace(row) || (row == kRowConcatenate && variableWidthSeen_)) {
    if (row == kRowConcatenate && variableWidthSeen_) row = kRowConcatenateTrimmed;
    for (int j = 0; j < count; ++j)
      if (resolved_[args[j].step].row == kRowCharacterInPlace)
        resolved_[args[j].step].row = kRowCharacterCopy;
  }
  SimulatedValue result{};
  resolved_[index].row = row;
  if (int r = setWidth(index, row, args, count, result)) return r;
  result.position = count > 0 ? args[0].position
                              : (stack.empty() ? 0 : stack.back().position + stack.back().room);
  result.room = roomFor(result.type, result.width);
  result.step = static_cast<int32_t>(index);
  result.subtreeSize = 1;
  for (int j = 0; j < count; ++j) result.subtreeSize += args[j].subtreeSize;
  stack.resize(stack.size() - count);
  stack.push_back(result);
  return 0;
}

int Compiler::resolveTypes() {
  std::vector<SimulatedValue> stack;
  resolved_.assign(drafts_.size(), Resolved{});
  for (size_t i = 0; i < drafts_.size(); ++i) {
    const DraftStep& d = drafts_[i];
    Resolved& r = resolved_[i];
    r.row = d.row;
    if (d.isOperation) {
      if (int code = resolveOperation(i, stack)) return code;
    } else {
      SimulatedValue v{};
      v.type = OperationTable[d.row].resultType;
      v.width = loadWidth(d);
      v.position = stack.empty() ? 0 : stack.back().position + stack.back().room;
      v.room = roomFor(v.type, v.width);
      v.step = static_cast<int32_t>(i);
      v.subtreeSize = 1;
      r.offset = d.column != nullptr ? columnOffset(d.column) : d.constantOffset;
      stack.push_back(v);
    }
    const SimulatedValue& top = stack.back();
    r.width = static_cast<int32_t>(std::min<int64_t>(top.width, kMaxWorkSize));
    r.position = static_cast<int32_t>(std::min<int64_t>(top.position, kMaxWorkSize));
    r.subtreeSize = top.subtreeSize;
    if (static_cast<int>(stack.size()) > kMaxStackValues) return fail(dbf::kErrExprStack);
    workSize_ = std::max(workSize_, top.position + top.room + 1);
    if (workSize_ > kMaxWorkSize) return fail(dbf::kErrMemory, "work buffer");
    if (r.row == kRowMemoColumn || d.code == kCodeTrim || d.code == kCodeLtrim ||
        d.code == kCodeAlltrim || d.code == kCodeCalculation)
      variableWidthSeen_ = true;
  }
  if (stack.size() != 1) return fail(dbf::kErrExprNotOneValue);
  resultType_ = stack[0].type;
  resultWidth_ = static_cast<int32_t>(stack[0].width);
  return 0;
}

namespace {
size_t align8(size_t n) { return (n + 7) & ~size_t{7}; }
}  // namespace

Expression* Compiler::build() {
  const size_t stepCount = drafts_.size();
  const size_t sourceLength = std::strlen(text_);
  // Room for the widest key: GENERAL text doubles, plus null marker and zero.
  const int32_t keyCapacity = (resultType_ == 'C' ? 2 * resultWidth_ : 8) + 2;
  const size_t stepsAt = align8(sizeof(Expression));
  const size_t constantsAt = align8(stepsAt + stepCount * sizeof(ExpressionStep));
  const size_t keyAt = align8(constantsAt + constants_.size());
  const size_t sourceAt = keyAt + static_cast<size_t>(keyCapacity);
  const size_t workAt = align8(sourceAt + sourceLength + 1);
  auto* block = static_cast<char*>(std::calloc(1, workAt + static_cast<size_t>(workSize_)));
  if (block == nullptr) {
    fail(dbf::kErrMemory, "expression");
    return nullptr;
  }

  auto* e = reinterpret_cast<Expression*>(block);
  e->steps = reinterpret_cast<ExpressionStep*>(block + stepsAt);
  e->stepCount = static_cast<int32_t>(stepCount);
  e->constants = block + constantsAt;
  e->constantsSize = static_cast<int32_t>(constants_.size());
  if (!constants_.empty()) std::memcpy(e->constants, constants_.data(), constants_.size());
  e->table = table_;
  e->ctx = ctx_;
  e->type = resultType_;
  e->width = resultWidth_;
  e->forTag = tag_ != nullptr;
  e->workSize = static_cast<uint32_t>(workSize_);
  e->work = block + workAt;
  e->keyBuffer = block + keyAt;
  e->keyCapacity = keyCapacity;
  e->source = block + sourceAt;
  std::memcpy(e->source, text_, sourceLength);

  for (size_t i = 0; i < stepCount; ++i) {
    const DraftStep& d = drafts_[i];
    const Resolved& r = resolved_[i];
    ExpressionStep& s = e->steps[i];
    s.columnNumber = d.columnNumber;
    s.column = d.column;
    s.sameTable = d.table == nullptr || d.table == table_;
    s.recordReference = d.table != nullptr ? &d.table->record : &table_->record;
    // Index expressions read whichever record their data file's slot holds.
    if (tag_ != nullptr && s.sameTable && table_->dataFile != nullptr)
      s.recordReference = &table_->dataFile->currentRecord;
    s.width = r.width;
    s.subtreeSize = r.subtreeSize;
    s.argumentCount = d.argumentCount;
    s.resultPosition = r.position;
    s.offset = r.offset;
    s.row = r.row;
    s.evaluator = OperationTable[r.row].evaluator;
    s.longerOperand = r.longerOperand;
    if (d.code == kCodeTrim || d.code == kCodeLtrim || d.code == kCodeAlltrim) e->trimmed = 1;
    if (d.column != nullptr && d.column->type == 'Y') e->usesCurrency = 1;
  }
  return e;
}

Expression* Compiler::compile(int* status) {
  Expression* e = nullptr;
  if (ctx_->errorCode < 0) {
    error_ = dbf::kErrContextHoldsError;
  } else if (parseList() == 0 && resolveTypes() == 0) {
    // Text after a ")" or "," that closes nothing is ignored: "A = 1) B" is "A = 1".
    e = build();
  }
  if (status != nullptr) *status = e != nullptr ? 0 : error_;
  return e;
}

}  // namespace

Expression* expression4parse(Table* table, const char* text, Tag* tag, int* status) {
  if (table == nullptr || text == nullptr || table->ctx == nullptr) {
    engine4error(table != nullptr ? table->ctx : nullptr, dbf::kErrNullHandle, 90935);
    if (status != nullptr) *status = dbf::kErrNullHandle;
    return nullptr;
  }
  // The compiler keeps its drafts in standard containers; running out of
  // memory there is the engine's -920, never an exception out of the engine.
  try {
    Compiler compiler(table, text, tag);
    return compiler.compile(status);
  } catch (const std::bad_alloc&) {
    if (table->ctx->reportExpressionErrors != 0)
      engine4error(table->ctx, dbf::kErrMemory, locationOf(dbf::kErrMemory), text, "compiler");
    if (status != nullptr) *status = dbf::kErrMemory;
    return nullptr;
  }
}

void expression4free(Expression* e) { std::free(e); }

char expression4type(const Expression* e) { return e != nullptr ? e->type : '\0'; }

int expression4width(const Expression* e) { return e != nullptr ? e->width : dbf::kErrNullHandle; }

const char* expression4source(const Expression* e) { return e != nullptr ? e->source : nullptr; }
