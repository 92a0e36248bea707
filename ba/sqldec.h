// sqldec.h: the base-100 decimal number `ba_decimal` and its operations.
//
// A decimal holds up to 16 base-100 digits (32 significant decimal digits); its value is
// the sum over i of digits[i] * 100^(exponent - 1 - i). Return codes of the operations are
// the DEC_ constants below.
#pragma once

#include <cstdint>

struct ba_decimal {
  int16_t exponent;    // base-100 digits before the decimal point, -99..99
  int16_t positive;    // 1 positive, 0 negative, -1 null
  int16_t ndigits;     // significant base-100 digits, 0..16
  uint8_t digits[16];  // base-100 digits 0..99, most significant first; from ndigits on 0
};
static_assert(sizeof(ba_decimal) == 22, "ba_decimal is a 22-byte value type");

constexpr int DEC_MAXDIGITS = 16;   // base-100 digits of a decimal
constexpr int DEC_MAXTEXT = 100;    // longest text ba_str2dec accepts

enum ba_deccode : int {
  DEC_OK = 0,
  DEC_MALFORMED = -1,   // malformed text
  DEC_RANGE = -2,       // out of range, result does not fit, or null in a comparison
  DEC_DIVZERO = -3,     // division by zero
  DEC_NULLNUM = -4,     // null converted to a number (the number is set to 0)
  DEC_TOOLONG = -5,     // text longer than 100 characters
  DEC_INVALID = -6,     // an argument or the result is not a valid decimal
  DEC_NULLFLT = -7,     // floating-point value is the null marker
};

// The null marker of 8-byte floating-point values: eight 0x77 bytes ("wwwwwwww").
constexpr unsigned char DEC_NULLBYTE = 0x77;
