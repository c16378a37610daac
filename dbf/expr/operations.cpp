// The operation table: every operator, function, column load and constant of
// the expression language, in the fixed row order that compiled expressions
// refer to by index. Rows of one code form one operation and differ only in
// their argument types; the compiler takes the first row that fits.
#include "dbf/expr/evaluator.h"

using namespace expr_eval;

namespace {
constexpr uint8_t kAny = kAnyArgumentCount;
}  // namespace

// evaluator, name, code, name length, precedence, result, argument count, argument types
const OperationRow OperationTable[kOperationRowCount] = {
    // Column loads and constants (reached from operands, never by name).
    {columnInPlace, nullptr, 0, 0, 0, 'C', 0, ""},             // 0 C column in place
    {columnCopy, nullptr, 1, 0, 0, 'C', 0, ""},                // 1 C column copied
    {logicalColumn, nullptr, 2, 0, 0, 'L', 0, ""},             // 2
    {dateColumnAsDayNumber, nullptr, 3, 0, 0, 'd', 0, ""},     // 3
    {columnInPlace, nullptr, 4, 0, 0, 'D', 0, ""},             // 4
    {numericColumnAsDouble, nullptr, 5, 0, 0, 'n', 0, ""},     // 5
    {columnInPlace, nullptr, 6, 0, 0, 'N', 0, ""},             // 6
    {columnInPlace, nullptr, 7, 0, 0, 'Y', 0, ""},             // 7
    {columnInPlace, nullptr, 8, 0, 0, 'n', 0, ""},             // 8 B column: the double itself
    {columnInPlace, nullptr, 9, 0, 0, 'I', 0, ""},             // 9
    {columnInPlace, nullptr, 440, 0, 0, 'T', 0, ""},           // 10
    {integerColumnAsDouble, nullptr, 441, 0, 0, 'n', 0, ""},   // 11
    {currencyColumnAsDouble, nullptr, 442, 0, 0, 'n', 0, ""},  // 12
    {memoColumn, nullptr, 443, 0, 0, 'C', 0, ""},              // 13
    {constant, nullptr, 444, 0, 0, 'n', 0, ""},                // 14
    {constant, nullptr, 445, 0, 0, 'C', 0, ""},                // 15
    // Logical constants and operators.
    {logicalTrue, ".TRUE.", 14, 6, 0, 'L', 0, ""},    // 16
    {logicalTrue, ".T.", 14, 3, 0, 'L', 0, ""},       // 17
    {logicalFalse, ".FALSE.", 16, 7, 0, 'L', 0, ""},  // 18
    {logicalFalse, ".F.", 16, 3, 0, 'L', 0, ""},      // 19
    {logicalNot, ".NOT.", 18, 5, 5, 'L', 1, "L"},     // 20
    {logicalOr, ".OR.", 20, 4, 3, 'L', kAny, "L"},    // 21
    {logicalAnd, ".AND.", 22, 5, 4, 'L', kAny, "L"},  // 22
    // Arithmetic.
    {concatenate, "+", 25, 1, 7, 'C', 2, "CC"},              // 23
    {concatenateTrimmed, nullptr, 25, 0, 7, 'C', 2, "CC"},   // 24 variable-width texts
    {addNumbers, nullptr, 25, 0, 7, 'n', 2, "nn"},           // 25
    {addToDate, nullptr, 25, 0, 7, 'd', 2, "nd"},            // 26
    {addToDate, nullptr, 25, 0, 7, 'd', 2, "dn"},            // 27
    {concatenateBlanksBehind, "-", 30, 1, 7, 'C', 2, "CC"},  // 28
    {subtractNumbers, nullptr, 30, 0, 7, 'n', 2, "nn"},      // 29
    {subtractDates, nullptr, 30, 0, 7, 'n', 2, "dd"},        // 30
    {subtractFromDate, nullptr, 30, 0, 7, 'd', 2, "dn"},     // 31
    // Comparisons.
    {notEqualText, "#", 50, 1, 6, 'L', 2, "CC"},              // 32
    {notEqualText, "<>", 50, 2, 6, 'L', 2, "CC"},             // 33
    {notEqualBytes8, nullptr, 50, 0, 6, 'L', 2, "nn"},        // 34 byte for byte:
    {notEqualBytes8, nullptr, 50, 0, 6, 'L', 2, "dd"},        // 35 0 # -0, as in keys
    {notEqualLogical, nullptr, 50, 0, 6, 'L', 2, "LL"},       // 36
    {notEqualBytes8, nullptr, 50, 0, 6, 'L', 2, "YY"},        // 37
    {notEqualBytes8, nullptr, 50, 0, 6, 'L', 2, "TT"},        // 38
    {greaterEqualText, ">=", 60, 2, 6, 'L', 2, "CC"},         // 39
    {greaterEqualText, "=>", 60, 2, 6, 'L', 2, "CC"},         // 40
    {greaterEqualNumber, nullptr, 60, 0, 6, 'L', 2, "nn"},    // 41
    {greaterEqualNumber, nullptr, 60, 0, 6, 'L', 2, "dd"},    // 42
    {greaterEqualCurrency, nullptr, 60, 0, 6, 'L', 2, "YY"},  // 43
    {greaterEqualDateTime, nullptr, 60, 0, 6, 'L', 2, "TT"},  // 44
    {lessEqualText, "<=", 70, 2, 6, 'L', 2, "CC"},            // 45
    {lessEqualText, "=<", 70, 2, 6, 'L', 2, "CC"},            // 46
    {lessEqualNumber, nullptr, 70, 0, 6, 'L', 2, "nn"},       // 47
    {lessEqualNumber, nullptr, 70, 0, 6, 'L', 2, "dd"},       // 48
    {lessEqualCurrency, nullptr, 70, 0, 6, 'L', 2, "YY"},     // 49
    {lessEqualDateTime, nullptr, 70, 0, 6, 'L', 2, "TT"},     // 50
    {equalText, "=", 40, 1, 6, 'L', 2, "CC"},                 // 51
    {equalLogical, nullptr, 40, 0, 6, 'L', 2, "LL"},          // 52
    {equalBytes8, nullptr, 40, 0, 6, 'L', 2, "nn"},           // 53 byte for byte
    {equalBytes8, nullptr, 40, 0, 6, 'L', 2, "dd"},           // 54
    {equalBytes8, nullptr, 40, 0, 6, 'L', 2, "YY"},           // 55
    {equalBytes8, nullptr, 40, 0, 6, 'L', 2, "TT"},           // 56
    {greaterText, ">", 80, 1, 6, 'L', 2, "CC"},               // 57
    {greaterNumber, nullptr, 80, 0, 6, 'L', 2, "nn"},         // 58
    {greaterNumber, nullptr, 80, 0, 6, 'L', 2, "dd"},         // 59
    {greaterCurrency, nullptr, 80, 0, 6, 'L', 2, "YY"},       // 60
    {greaterDateTime, nullptr, 80, 0, 6, 'L', 2, "TT"},       // 61
    {lessText, "<", 90, 1, 6, 'L', 2, "CC"},                  // 62
    {lessNumber, nullptr, 90, 0, 6, 'L', 2, "nn"},            // 63
    {lessNumber, nullptr, 90, 0, 6, 'L', 2, "dd"},            // 64
    {lessCurrency, nullptr, 90, 0, 6, 'L', 2, "YY"},          // 65
    {lessDateTime, nullptr, 90, 0, 6, 'L', 2, "TT"},          // 66
    {power, "^", 100, 1, 9, 'n', 2, "nn"},                    // 67
    {power, "**", 100, 2, 9, 'n', 2, "nn"},                   // 68
    {multiply, "*", 102, 1, 8, 'n', 2, "nn"},                 // 69
    {divide, "/", 105, 1, 8, 'n', 2, "nn"},                   // 70
    {contains, "$", 110, 1, 6, 'L', 2, "CC"},                 // 71
    // Functions.
    {chr, "CHR", 120, 3, 0, 'C', 1, "n"},               // 72
    {del, "DEL", 130, 3, 0, 'C', 0, ""},                // 73
    {str, "STR", 140, 3, 0, 'C', 1, "n"},               // 74
    {substr, "SUBSTR", 150, 6, 0, 'C', 1, "C"},         // 75
    {time, "TIME", 160, 4, 0, 'C', 0, ""},              // 76
    {upper, "UPPER", 170, 5, 0, 'C', 1, "C"},           // 77
    {dtosText, "DTOS", 180, 4, 0, 'C', 1, "D"},         // 78
    {dtosDayNumber, nullptr, 180, 0, 0, 'C', 1, "d"},   // 79
    {dtocText, "DTOC", 200, 4, 0, 'C', 1, "D"},         // 80
    {dtocDayNumber, nullptr, 200, 0, 0, 'C', 1, "d"},   // 81
    {trim, "TRIM", 220, 4, 0, 'C', 1, "C"},             // 82
    {ltrim, "LTRIM", 230, 5, 0, 'C', 1, "C"},           // 83
    {alltrim, "ALLTRIM", 235, 7, 0, 'C', 1, "C"},       // 84
    {substr, "LEFT", 240, 4, 0, 'C', 1, "C"},           // 85
    {right, "RIGHT", 245, 5, 0, 'C', 1, "C"},           // 86
    {iif, "IIF", 250, 3, 0, 'C', 3, "LCC"},             // 87
    {iif, nullptr, 250, 0, 0, 'n', 3, "Lnn"},           // 88
    {iif, nullptr, 250, 0, 0, 'd', 3, "Ldd"},           // 89
    {iif, nullptr, 250, 0, 0, 'L', 3, "LLL"},           // 90
    {stod, "STOD", 260, 4, 0, 'd', 1, "C"},             // 91
    {ctod, "CTOD", 270, 4, 0, 'd', 1, "C"},             // 92
    {date, "DATE", 280, 4, 0, 'd', 0, ""},              // 93
    {dayText, "DAY", 290, 3, 0, 'n', 1, "D"},           // 94
    {dayDayNumber, nullptr, 290, 0, 0, 'n', 1, "d"},    // 95
    {monthText, "MONTH", 310, 5, 0, 'n', 1, "D"},       // 96
    {monthDayNumber, nullptr, 310, 0, 0, 'n', 1, "d"},  // 97
    {yearText, "YEAR", 340, 4, 0, 'n', 1, "D"},         // 98
    {yearDayNumber, nullptr, 340, 0, 0, 'n', 1, "d"},   // 99
    {deleted, "DELETED", 350, 7, 0, 'L', 0, ""},        // 100
    {recCount, "RECCOUNT", 360, 8, 0, 'n', 0, ""},      // 101
    {recNo, "RECNO", 370, 5, 0, 'n', 0, ""},            // 102
    {val, "VAL", 380, 3, 0, 'n', 1, "C"},               // 103
    {calculation, nullptr, 390, 0, 0, 0, 0, ""},        // 104 call of a calculation
    {nullptr, nullptr, 400, 0, 0, 'n', 0, ""},          // 105
    {nullptr, nullptr, 410, 0, 0, 'n', 0, ""},          // 106
    {descend, "DESCEND", 420, 7, 0, 'C', 1, "C"},       // 107
    {descend, nullptr, 420, 0, 0, 'C', 1, "N"},         // 108
    {descend, nullptr, 420, 0, 0, 'C', 1, "D"},         // 109
    {descend, nullptr, 420, 0, 0, 'C', 1, "d"},         // 110
    {descend, nullptr, 420, 0, 0, 'C', 1, "L"},         // 111
    {descend, nullptr, 420, 0, 0, 'C', 1, "n"},         // 112
    {descend, nullptr, 420, 0, 0, 'C', 1, "T"},         // 113
    {ascend, "ASCEND", 430, 6, 0, 'C', 1, "C"},         // 114
    {ascend, nullptr, 430, 0, 0, 'C', 1, "N"},          // 115
    {ascend, nullptr, 430, 0, 0, 'C', 1, "D"},          // 116
    {ascend, nullptr, 430, 0, 0, 'C', 1, "d"},          // 117
    {ascend, nullptr, 430, 0, 0, 'C', 1, "L"},          // 118
    {ascend, nullptr, 430, 0, 0, 'C', 1, "n"},          // 119
    {ascend, nullptr, 430, 0, 0, 'C', 1, "T"},          // 120
    {nullptr, nullptr, -1, 0, 0, 0, 0, ""},             // 121 end of table
};
