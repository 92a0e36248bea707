// sqltypes.h: the type codes of table columns, which tell the stored form of a value in a row
// (the forms themselves: flush/ad_dump.h).
#pragma once

enum : int {
  T_CHAR = 1,        // characters
  T_DECIMAL = 3,     // packed decimal
  T_INT = 4,         // i32
  T_SHORT = 5,       // i16
  T_FLOAT = 7,       // 4-byte float
  T_DOUBLE = 8,      // 8-byte double
  T_DATETIME = 9,    // date and time, by subtype
  T_INTERVAL = 10,   // interval
  T_VARCHAR = 12,    // characters behind a reference
  T_DECIMAL2 = -1,   // packed decimal
  T_INT2 = -2,       // i32
  T_BLOB = -3,       // large object reference
  T_TEXT = -4,       // large object reference
  T_DATE = -5,       // day number
};
