// ba_decint.h: helpers shared by the files of the decimal module (ba_dec, ba_decconv);
// not part of the library's interface.
#pragma once

#include <cstring>

#include "ba/sqldec.h"

namespace decint {

constexpr int SIGN_NULL = -1;
constexpr int SIGN_NEG = 0;
constexpr int SIGN_POS = 1;
constexpr int EXP_MIN = -99;
constexpr int EXP_MAX = 99;

inline bool is_null(const ba_decimal &d) { return d.positive == SIGN_NULL; }

// A null decimal: all fields zero except the sign.
inline ba_decimal null_decimal() {
  ba_decimal d;
  memset(&d, 0, sizeof d);
  d.positive = SIGN_NULL;
  return d;
}

// An all-zero-bytes decimal (positive field 0), the state a failed parse leaves behind.
inline ba_decimal cleared_decimal() {
  ba_decimal d;
  memset(&d, 0, sizeof d);
  return d;
}

}  // namespace decint
