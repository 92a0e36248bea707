// ba_dectest.h: small helpers of the decimal tests (ba_dec_test, ba_decconv_test): building
// decimals field by field, parsing and formatting in one call, and comparing fields.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "ba/ba_dec.h"

namespace dectest {

// A decimal from its fields; the digits not given are 0.
inline ba_decimal make(int exponent, int positive, std::initializer_list<int> digits) {
  ba_decimal d;
  memset(&d, 0, sizeof d);
  d.exponent = static_cast<int16_t>(exponent);
  d.positive = static_cast<int16_t>(positive);
  int i = 0;
  for (int x : digits) d.digits[i++] = static_cast<uint8_t>(x);
  d.ndigits = static_cast<int16_t>(i);
  return d;
}

inline ba_decimal null_dec() { return make(0, -1, {}); }

// Parses text that must be well-formed.
inline ba_decimal D(const char *text) {
  ba_decimal d;
  int rc = ba_str2dec(text, 200, &d);
  EXPECT_EQ(rc, 0) << "parsing " << text;
  return d;
}

// Formats with the given places into at most len characters with '.' as the point.
inline std::string F(const ba_decimal &d, int places = -1, int len = 300) {
  std::string buf(len + 1, '#');
  ba_decfmt(&d, buf.data(), len, places, '.');
  return std::string(buf.c_str());
}

// The fields as text, for readable failure messages: "e=1 s=1 n=2 [1 50]".
inline std::string fields(const ba_decimal &d) {
  std::string s = "e=" + std::to_string(d.exponent) + " s=" + std::to_string(d.positive) +
                  " n=" + std::to_string(d.ndigits) + " [";
  for (int i = 0; i < 16 && i < d.ndigits; i++) s += (i ? " " : "") + std::to_string(d.digits[i]);
  return s + "]";
}

// Expects every field, the unused digits included, to equal those of want.
inline void expect_fields(const ba_decimal &got, const ba_decimal &want) {
  EXPECT_EQ(fields(got), fields(want));
  EXPECT_EQ(memcmp(got.digits, want.digits, sizeof got.digits), 0) << fields(got);
}

}  // namespace dectest
