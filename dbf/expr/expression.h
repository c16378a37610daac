// Compiled dBASE expressions: the fixed operation table, the postfix steps the
// compiler produces, and the calls that compile, evaluate and free them.
//
// A text such as "MSGID1=17 .AND. UPPER(NAME)='AB'" is compiled against one
// Table into an Expression: a flat array of ExpressionSteps in postfix order,
// each bound to a row of OperationTable, with every result width and every
// position in the context's work buffer decided at compile time. Evaluation
// then runs the steps on a small value stack and allocates nothing.
//
// Value types are single letters: C text (fixed width, no terminator), L
// logical (int32 0/1), n number (double), d date as a day number (double, 0 =
// blank), and the column-only forms D (CCYYMMDD text), N (numeric text), Y
// (currency, 8 bytes), I (int32) and T (datetime, 8 bytes). The compiler
// turns D, N, I and Y into d or n where an operation needs them.
#pragma once

#include <cstdint>

struct EngineContext;
struct Table;
struct Column;
struct Tag;
struct Expression;
struct ExpressionStep;
struct EvaluationState;

// Every evaluator pops its arguments from the value stack and pushes one value.
using ExpressionEvaluator = void (*)(EvaluationState& state, const ExpressionStep& step);

// One row of the operation table. Rows sharing a code form one operation; they
// differ only in their argument types, and the compiler takes the first that
// fits.
struct OperationRow {
  ExpressionEvaluator evaluator;  // null for rows 105 and 106
  const char* name;               // null for rows that are only type variants
  int16_t code;                   // -1 ends the table
  uint8_t nameLength;
  uint8_t precedence;  // binary operators only
  char resultType;
  uint8_t argumentCount;  // kAnyArgumentCount: any number of the listed type
  char argumentTypes[7];
};

inline constexpr int kOperationRowCount = 122;
inline constexpr uint8_t kAnyArgumentCount = 255;
extern const OperationRow OperationTable[kOperationRowCount];

// Row numbers the compiler and the query refer to by name.
enum OperationRowIndex : int16_t {
  kRowCharacterInPlace = 0,
  kRowCharacterCopy = 1,
  kRowLogicalColumn = 2,
  kRowDateAsDayNumber = 3,
  kRowDateColumn = 4,
  kRowNumericAsDouble = 5,
  kRowNumericColumn = 6,
  kRowCurrencyColumn = 7,
  kRowDoubleColumn = 8,
  kRowIntegerColumn = 9,
  kRowDateTimeColumn = 10,
  kRowIntegerAsDouble = 11,
  kRowCurrencyAsDouble = 12,
  kRowMemoColumn = 13,
  kRowNumberConstant = 14,
  kRowTextConstant = 15,
  kRowTrue = 16,
  kRowFalse = 18,
  kRowNot = 20,
  kRowOr = 21,
  kRowAnd = 22,
  kRowConcatenate = 23,
  kRowConcatenateTrimmed = 24,
  kRowConcatenateBlanksBehind = 28,
  kRowFirstOperator = 21,
  kRowLastOperator = 71,
  kRowFirstFunction = 72,
  kRowCalculation = 104,
  kRowEnd = 121,
};

// Operation codes of the table (column "code").
enum OperationCode : int16_t {
  kCodeTrue = 14,
  kCodeFalse = 16,
  kCodeNot = 18,
  kCodeOr = 20,
  kCodeAnd = 22,
  kCodePlus = 25,
  kCodeMinus = 30,
  kCodeNotEqual = 50,
  kCodeGreaterEqual = 60,
  kCodeLessEqual = 70,
  kCodeEqual = 40,
  kCodeGreater = 80,
  kCodeLess = 90,
  kCodeStr = 140,
  kCodeSubstr = 150,
  kCodeDtos = 180,
  kCodeDtoc = 200,
  kCodeTrim = 220,
  kCodeLtrim = 230,
  kCodeAlltrim = 235,
  kCodeLeft = 240,
  kCodeRight = 245,
  kCodeIif = 250,
  kCodeCalculation = 390,
};

// One postfix step.
struct ExpressionStep {
  int32_t columnNumber;    // 1-based in its Table; 0 when the step loads no column
  Column* column;          // null for non-column steps
  int32_t sameTable;       // 1 when the column belongs to the Expression's own Table
  char** recordReference;  // where the record buffer pointer of the column's Table is
  int32_t width;           // result width in bytes (STR: the folded total width)
  int32_t subtreeSize;     // steps making up this step's value, itself included
  int32_t argumentCount;
  int32_t resultPosition;  // byte offset of the value in the work buffer
  int32_t offset;          // column offset, constant offset, SUBSTR start, STR
                           // decimals, or the common width of two compared texts
  int32_t row;             // index into OperationTable
  ExpressionEvaluator evaluator;
  int32_t longerOperand;  // text comparisons: 1 left longer, 2 right longer, 0 same
};

// A compiled expression. One allocation holds this header, the steps, the
// constant area, the key area, the source text and the work area: an
// expression of large values (STR(X, 65535) + ...) takes what it needs, and
// expression4free gives it all back.
struct Expression {
  ExpressionStep* steps;
  int32_t stepCount;
  char* constants;  // doubles (8-byte aligned), text constants as written
  int32_t constantsSize;
  Table* table;  // the Table handle it is bound to
  EngineContext* ctx;
  char type;             // result type letter
  int32_t width;         // result width
  int32_t trimmed;       // TRIM, LTRIM or ALLTRIM occurs (keys pad the zeros back)
  int32_t usesCurrency;  // a Y column occurs (numeric keys take the currency form)
  int32_t forTag;        // compiled as an index expression
  uint32_t workSize;     // bytes of |work|
  char* work;            // the work area the steps place their values in
  char* keyBuffer;       // room for the widest key of this expression
  int32_t keyCapacity;
  char* source;  // copy of the text, zero-terminated
};

// Compiles |text| against |table|. With |tag|, the expression is an index
// expression: references to other tables are refused (-510) and memo columns
// count 240 bytes. Returns null on failure; the code is stored in the context
// when reporting is on (report-expression-errors, and report-column-name-errors
// for -210) and always given through |status| when that is not null. Nothing
// stays allocated after a failure. Work areas beyond 8 MiB are refused (-920).
Expression* expression4parse(Table* table, const char* text, Tag* tag = nullptr,
                             int* status = nullptr);
void expression4free(Expression* e);

char expression4type(const Expression* e);           // 0 for a null Expression
int expression4width(const Expression* e);           // -935 for a null Expression
const char* expression4source(const Expression* e);  // null for a null Expression

// Evaluates against the current record buffer of the bound Table. Returns the
// result width and points |*result| at the value (in the Expression's work
// area, or in the record buffer for a lone character column); valid until the
// next evaluation of the same Expression, or its free. -1410 when the context holds an error, -935
// without Expression or |result|.
int expression4evaluate(Expression* e, const char** result);
// The value of the subtree ending at step |stepIndex|, as expression4evaluate.
// -930 for an index outside the steps.
int expression4evaluateStep(Expression* e, int stepIndex, const char** result);
// C and N results as numbers, D as day numbers, d and n as they are; other
// types (and failures) 0.
double expression4double(Expression* e);
// 1 or 0 for a logical Expression; -950 for any other type; negative codes of
// the evaluation are passed through.
int expression4true(Expression* e);
// The index key of the current record: points |*key| at the key area of the
// Expression (the key followed by a zero byte) and returns the key width. The
// encodings are those of the compound index. Without a Tag the key carries no
// null marker and character keys are in machine order.
int expression4key(Expression* e, Tag* tag, const char** key);
// Re-points the column steps of the Expression's own Table at |handle|, which
// must stand on the same DataFile (else -930). 0 on success.
int expression4bind(Expression* e, Table* handle);

// The process-wide evaluation lock (re-entrant for its owner). Every
// evaluation holds it; callers that run several evaluations as one unit may
// take it around them.
void expression4lock();
void expression4unlock();
