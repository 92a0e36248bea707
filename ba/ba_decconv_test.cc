// Tests of ba_decconv: decimals from and to integers, floating values and text.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "ba/ba_dec.h"
#include "ba/ba_dectest.h"
#include "ba/globals.h"

namespace {

using dectest::D;
using dectest::expect_fields;
using dectest::F;
using dectest::fields;
using dectest::make;
using dectest::null_dec;

int parse(const char *text, ba_decimal *d, int maxlen = 200) { return ba_str2dec(text, maxlen, d); }

// ---- Parsing -----------------------------------------------------------------------------

TEST(StrToDec, SpecimenTexts) {
  expect_fields(D("1.5"), make(1, 1, {1, 50}));
  expect_fields(D("-12.345"), make(1, 0, {12, 34, 50}));
  expect_fields(D("1000"), make(2, 1, {10}));
  expect_fields(D("1.5E2"), make(2, 1, {1, 50}));
  expect_fields(D("5E-3"), make(-1, 1, {50}));
  expect_fields(D("1,5"), D("1.5"));
  expect_fields(D("1.2.3"), make(1, 1, {1, 23}));
  expect_fields(D("0"), make(1, 1, {0}));
  expect_fields(D("+7"), make(1, 1, {7}));
}

TEST(StrToDec, LeadingZeroPairsGoOnlyAsFarAsThePoint) {
  expect_fields(D("0001.5"), make(1, 1, {1, 50}));
  expect_fields(D("0.005"), make(0, 1, {0, 50}));
  expect_fields(D("0.5"), make(0, 1, {50}));
}

TEST(StrToDec, TrailingZeroDigitsStay) { expect_fields(D("1.500"), make(1, 1, {1, 50, 0})); }

TEST(StrToDec, SpacesAndLengthLimit) {
  expect_fields(D("  \t12.5   "), make(1, 1, {12, 50}));
  ba_decimal d;
  EXPECT_EQ(parse("12345", &d, 3), 0);  // only "123" is read
  expect_fields(d, make(2, 1, {1, 23}));
  std::string padded = std::string("42") + std::string(150, ' ');
  EXPECT_EQ(parse(padded.c_str(), &d, 500), 0);
  expect_fields(d, make(1, 1, {42}));
}

TEST(StrToDec, BlankTextIsNull) {
  ba_decimal d = D("1");
  EXPECT_EQ(parse("", &d), 0);
  EXPECT_EQ(d.positive, -1);
  d = D("1");
  EXPECT_EQ(parse("     ", &d), 0);
  EXPECT_EQ(d.positive, -1);
  d = D("1");
  EXPECT_EQ(ba_str2dec(nullptr, 10, &d), 0);
  EXPECT_EQ(d.positive, -1);
}

TEST(StrToDec, NegativeZeroIsMadePositive) { expect_fields(D("-0.00"), make(0, 1, {0})); }

TEST(StrToDec, PointFirstWithOddExponent) {
  // ".5E1" reads as 0.5E1 = 5; ".05E1" as 0.5.
  expect_fields(D(".5E1"), make(1, 1, {5}));
  expect_fields(D(".05E1"), make(0, 1, {50}));
  expect_fields(D(".5"), make(0, 1, {50}));
  expect_fields(D("-.25E3"), make(2, 0, {2, 50}));
}

TEST(StrToDec, CommaBeforePointIsAGroupSeparator) { expect_fields(D("1,000.5"), D("1000.5")); }

TEST(StrToDec, ExponentRangeIsNotChecked) {
  ba_decimal d;
  EXPECT_EQ(parse("1E200", &d), 0);
  EXPECT_EQ(d.exponent, 101);
  EXPECT_EQ(ba_decvalid(&d), 0);
  // A huge exponent saturates instead of wrapping into the valid range.
  EXPECT_EQ(parse("1E131274", &d), 0);
  EXPECT_EQ(ba_decvalid(&d), 0);
  EXPECT_EQ(parse("1E-99999999999999999999", &d), 0);
  EXPECT_EQ(ba_decvalid(&d), 0);
}

// ---- Formatting --------------------------------------------------------------------------

TEST(DecFmt, AsNeeded) {
  EXPECT_EQ(F(D("1.50")), "1.5");
  EXPECT_EQ(F(D("0.005")), "0.005");
  EXPECT_EQ(F(D("1000")), "1000");
  EXPECT_EQ(F(D("-12.345")), "-12.345");
  EXPECT_EQ(F(make(-1, 1, {5})), "0.0005");
  EXPECT_EQ(F(make(3, 1, {0, 7})), "700");  // a leading zero pair before the point
  EXPECT_EQ(F(make(3, 1, {0})), "0");
}

TEST(DecFmt, TwoPlaces) {
  EXPECT_EQ(F(D("1000"), 2), "1000.00");
  EXPECT_EQ(F(D("123.456"), 2), "123.46");
  EXPECT_EQ(F(D("123.454"), 2), "123.45");
  EXPECT_EQ(F(D("0"), 2), "0.00");
  EXPECT_EQ(F(make(0, 1, {}), 2), "0");
}

TEST(DecFmt, RoundingCarriesAcrossThePoint) {
  EXPECT_EQ(F(D("9.96"), 1), "10.0");
  EXPECT_EQ(F(D("-0.5"), 0), "-1");
  EXPECT_EQ(F(D("0.5"), 0), "1");
  EXPECT_EQ(F(D("99.999"), 2), "100.00");
  // A negative number keeps its '-' when its rounded digits are all zero, as printf does.
  EXPECT_EQ(F(D("-0.4"), 0), "-0");
  EXPECT_EQ(F(D("-0.004"), 2), "-0.00");
}

TEST(DecFmt, FittingIntoTheBuffer) {
  ba_decimal d = D("12345.678");
  EXPECT_EQ(F(d, -1, 6), "12346");
  EXPECT_EQ(F(d, -1, 7), "12345.7");
  EXPECT_EQ(F(d, -1, 5), "12346");
  char buf[8];
  EXPECT_EQ(ba_decfmt(&d, buf, 4, -1, '.'), -2);
  EXPECT_STREQ(buf, "****");
  EXPECT_EQ(ba_decfmt(&d, buf, 7, 3, '.'), -2);  // fixed places are never given up
  EXPECT_STREQ(buf, "*******");
  ba_decimal nines = D("99999.9");
  EXPECT_EQ(ba_decfmt(&nines, buf, 5, -1, '.'), -2);  // rounding adds a digit
  EXPECT_EQ(ba_decfmt(&nines, buf, 6, -1, '.'), 0);
  EXPECT_STREQ(buf, "100000");
}

TEST(DecFmt, PaddingIsCheckedAgainstTheLength) {
  ba_decimal d = D("1");
  char buf[16];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(ba_decfmt(&d, buf, 10, 1000, '.'), -2);
  EXPECT_STREQ(buf, "**********");
  EXPECT_EQ(buf[11], '#');
  std::string big(2001, '#');
  EXPECT_EQ(ba_decfmt(&d, big.data(), 2000, 1000, '.'), 0);
  EXPECT_EQ(strlen(big.c_str()), 1002u);
}

TEST(DecFmt, PointCharacterAndSettings) {
  ba_decimal d = D("-3.25");
  char buf[16];
  ba_decfmt(&d, buf, 10, -1, ',');
  EXPECT_STREQ(buf, "-3,25");
  ba_settings.decpoint = ',';
  ba_dec2str(&d, buf, 10, 3);
  EXPECT_STREQ(buf, "-3,250");
  ba_settings.decpoint = '\0';  // settings not loaded: '.' stands in
  ba_dec2str(&d, buf, 10, -1);
  EXPECT_STREQ(buf, "-3.25");
}

TEST(DecFmt, NullIsEmpty) {
  ba_decimal n = null_dec();
  char buf[8] = "xyz";
  EXPECT_EQ(ba_decfmt(&n, buf, 5, 2, '.'), 0);
  EXPECT_STREQ(buf, "");
}

TEST(DecFmt, ExtremeExponents) {
  ba_decimal tiny = make(-99, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  std::string t = F(tiny, -1, 1000);
  EXPECT_EQ(t.substr(0, 4), "0.00");
  EXPECT_EQ(t.size(), 2 + 198 + 32u);
  ba_decimal huge = make(99, 0, {99});
  std::string h = F(huge, 2, 1000);
  EXPECT_EQ(h.size(), 1 + 2 + 196 + 3u);
}

// ---- Integers ------------------------------------------------------------------------------

TEST(LongToDec, PairsWithoutLeadingZeros) {
  ba_decimal d;
  ba_long2dec(0, &d);
  expect_fields(d, make(1, 1, {0}));
  ba_long2dec(1000, &d);
  expect_fields(d, make(2, 1, {10, 0}));
  ba_long2dec(-7, &d);
  expect_fields(d, make(1, 0, {7}));
  ba_long2dec(2147483647, &d);
  expect_fields(d, make(5, 1, {21, 47, 48, 36, 47}));
}

TEST(LongToDec, MostNegativeIsExact) {
  ba_decimal d;
  EXPECT_EQ(ba_long2dec(INT_MIN, &d), 0);
  expect_fields(d, make(5, 0, {21, 47, 48, 36, 48}));
}

TEST(DecToLong, TruncatesTowardZero) {
  int v;
  ba_decimal d = D("-45.99");
  EXPECT_EQ(ba_dec2long(&d, &v), 0);
  EXPECT_EQ(v, -45);
  d = D("0.5");
  EXPECT_EQ(ba_dec2long(&d, &v), 0);
  EXPECT_EQ(v, 0);
  d = make(7, 1, {0, 0, 21, 47, 48, 36, 47});  // leading zero digits
  EXPECT_EQ(ba_dec2long(&d, &v), 0);
  EXPECT_EQ(v, 2147483647);
}

TEST(DecToLong, Limits) {
  int v = 5;
  ba_decimal d = D("2147483647");
  EXPECT_EQ(ba_dec2long(&d, &v), 0);
  EXPECT_EQ(v, 2147483647);
  d = D("-2147483647");
  EXPECT_EQ(ba_dec2long(&d, &v), 0);
  EXPECT_EQ(v, -2147483647);
  v = 5;
  d = D("-2147483648");
  EXPECT_EQ(ba_dec2long(&d, &v), -2);
  d = D("2147483647.01");
  EXPECT_EQ(ba_dec2long(&d, &v), -2);
  d = D("1E99");
  EXPECT_EQ(ba_dec2long(&d, &v), -2);
  EXPECT_EQ(v, 5);
}

TEST(DecToShort, Limits) {
  short s = 5;
  ba_decimal d = D("32767.9");
  EXPECT_EQ(ba_dec2short(&d, &s), 0);
  EXPECT_EQ(s, 32767);
  d = D("-32767");
  EXPECT_EQ(ba_dec2short(&d, &s), 0);
  EXPECT_EQ(s, -32767);
  d = D("32768");
  EXPECT_EQ(ba_dec2short(&d, &s), -2);
  d = D("-32768");
  EXPECT_EQ(ba_dec2short(&d, &s), -2);
  EXPECT_EQ(s, -32767);
}

// ---- Floating values ---------------------------------------------------------------------

TEST(DblToDec, FifteenDigitsCorrectlyRounded) {
  ba_decimal d;
  EXPECT_EQ(ba_dbl2dec(1.5, &d), 0);
  expect_fields(d, make(1, 1, {1, 50}));
  EXPECT_EQ(ba_dbl2dec(-0.001, &d), 0);
  expect_fields(d, make(-1, 0, {10}));
  EXPECT_EQ(ba_dbl2dec(0.01, &d), 0);
  expect_fields(d, make(0, 1, {1}));
  EXPECT_EQ(ba_dbl2dec(0.1, &d), 0);  // 0.1000000000000000055...: 15 digits
  expect_fields(d, make(0, 1, {10}));
  EXPECT_EQ(ba_dbl2dec(123456789012345678.0, &d), 0);
  expect_fields(d, make(9, 1, {12, 34, 56, 78, 90, 12, 34, 60}));  // ...346 rounded
  EXPECT_EQ(ba_dbl2dec(2.0 / 3, &d), 0);
  expect_fields(d, make(0, 1, {66, 66, 66, 66, 66, 66, 66, 70}));
  EXPECT_EQ(ba_dbl2dec(0.0, &d), 0);
  expect_fields(d, make(1, 1, {0}));
}

TEST(DblToDec, FloatsWidenFirst) {
  ba_decimal d;
  EXPECT_EQ(ba_flt2dec(0.25f, &d), 0);
  expect_fields(d, make(0, 1, {25}));
  EXPECT_EQ(ba_flt2dec(0.1f, &d), 0);  // 0.100000001490116...
  expect_fields(d, make(0, 1, {10, 0, 0, 0, 14, 90, 11, 60}));
}

TEST(DecToDbl, SumsTheDigits) {
  double v;
  ba_decimal d = D("-12.5");
  EXPECT_EQ(ba_dec2dbl(&d, &v), 0);
  EXPECT_EQ(v, -12.5);
  d = make(-1, 1, {25});  // 0.0025
  EXPECT_EQ(ba_dec2dbl(&d, &v), 0);
  EXPECT_DOUBLE_EQ(v, 0.0025);
  d = make(3, 1, {1});
  EXPECT_EQ(ba_dec2dbl(&d, &v), 0);
  EXPECT_EQ(v, 10000.0);
  float f;
  d = D("0.75");
  EXPECT_EQ(ba_dec2flt(&d, &f), 0);
  EXPECT_EQ(f, 0.75f);
}

TEST(DecToDbl, RoundTripOfFifteenDigits) {
  const double values[] = {3.14159265358979, -2.5e-40, 6.02214076e23, 1e-150, 123456.789};
  for (double x : values) {
    ba_decimal d;
    double back;
    ASSERT_EQ(ba_dbl2dec(x, &d), 0) << x;
    ASSERT_EQ(ba_dec2dbl(&d, &back), 0);
    EXPECT_NEAR(back, x, std::fabs(x) * 1e-14) << x;
  }
}

// ---- Error paths ---------------------------------------------------------------------------

TEST(ConvErrors, MalformedTextClearsTheResult) {
  const char *bad[] = {"abc", "1E+5", "1.5x", "--1", "1..5", "1.,5", "E5", "-", ".", "1E",
                       "1E-", "1E5x", "1 2", "1-", "+", "\t"};
  for (const char *t : bad) {
    ba_decimal d = D("7");
    EXPECT_EQ(parse(t, &d), -1) << t;
    ba_decimal zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&d, &zero, sizeof d), 0) << t;
  }
}

TEST(ConvErrors, TooManyDigitsAndTooLong) {
  ba_decimal d = D("7");
  std::string digits34(34, '7');
  EXPECT_EQ(parse(digits34.c_str(), &d), -2);
  EXPECT_EQ(d.ndigits, 0);
  std::string digits32(32, '7');
  EXPECT_EQ(parse(digits32.c_str(), &d), 0);
  std::string odd33 = "1." + std::string(32, '7');  // 1 + 16 pairs: the 17th pair
  EXPECT_EQ(parse(odd33.c_str(), &d), -2);
  std::string long101(101, '1');
  EXPECT_EQ(parse(long101.c_str(), &d), -5);
  std::string zeros100 = "0." + std::string(98, '0');
  EXPECT_EQ(parse(zeros100.c_str(), &d), -2);  // fits the length, not the 16 pairs
}

TEST(ConvErrors, NullToNumbers) {
  ba_decimal n = null_dec();
  int v = 9;
  short s = 9;
  double x = 9;
  float f = 9;
  EXPECT_EQ(ba_dec2long(&n, &v), -4);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(ba_dec2short(&n, &s), -4);
  EXPECT_EQ(s, 0);
  EXPECT_EQ(ba_dec2dbl(&n, &x), -4);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(ba_dec2flt(&n, &f), -4);
  EXPECT_EQ(f, 0);
}

TEST(ConvErrors, InvalidDecimals) {
  ba_decimal bad = make(1, 1, {1});
  bad.ndigits = 17;
  int v;
  short s;
  double x;
  float f;
  EXPECT_EQ(ba_dec2long(&bad, &v), -6);
  EXPECT_EQ(ba_dec2short(&bad, &s), -6);
  EXPECT_EQ(ba_dec2dbl(&bad, &x), -6);
  EXPECT_EQ(ba_dec2flt(&bad, &f), -6);
  char buf[8];
  EXPECT_EQ(ba_decfmt(&bad, buf, 5, -1, '.'), -6);
  EXPECT_STREQ(buf, "*****");
}

TEST(ConvErrors, FloatingNullMarkerAndNonFinite) {
  double marker;
  memset(&marker, 0x77, sizeof marker);
  ba_decimal d = D("3");
  EXPECT_EQ(ba_dbl2dec(marker, &d), -7);
  EXPECT_EQ(ba_dbl2dec(INFINITY, &d), -2);
  EXPECT_EQ(ba_dbl2dec(-INFINITY, &d), -2);
  EXPECT_EQ(ba_dbl2dec(NAN, &d), -2);
  expect_fields(d, D("3"));
  EXPECT_EQ(ba_dbl2dec(1e250, &d), -6);
  EXPECT_EQ(ba_dbl2dec(1e-250, &d), -6);
  float f = 1;
  ba_decimal big = D("1E50");
  EXPECT_EQ(ba_dec2flt(&big, &f), -2);
  EXPECT_EQ(f, 1);
}

// ---- Caller-given widths at the limits of an int ---------------------------------------------

// Places and lengths near INT_MAX/INT_MIN: the total width is never summed in an int, so a text
// that does not fit gives stars and -2, and nothing is written past len + 1 bytes.
TEST(DecFmtLimits, PlacesAndLengthsAtTheIntLimits) {
  struct {
    const char *value;
    int len, places;
    int rc;
    const char *text;
  } cases[] = {
      {"1.5", 10, INT_MAX, -2, "**********"},
      {"1.5", 10, INT_MAX - 1, -2, "**********"},
      {"1.5", 10, INT_MAX - 3, -2, "**********"},
      {"1", 10, INT_MAX, -2, "**********"},            // no point yet: the point is counted too
      {"-1.5", 0, INT_MAX, -2, ""},
      {"1.5", 10, INT_MIN, 0, "1.5"},                  // any negative places count as -1
      {"1.5", 10, INT_MIN + 1, 0, "1.5"},
      {"1.5", INT_MIN, 2, -2, ""},                     // a negative length holds nothing
      {"123.456", 10, 2147483600, -2, "**********"},
  };
  for (const auto &c : cases) {
    ba_decimal d = D(c.value);
    char buf[24];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(ba_decfmt(&d, buf, c.len, c.places, '.'), c.rc) << c.value << " " << c.places;
    EXPECT_STREQ(buf, c.text) << c.value << " " << c.places;
    size_t used = strlen(c.text) + 1;
    for (size_t i = used; i < sizeof buf; i++) ASSERT_EQ(buf[i], '#') << c.value << " " << c.places;
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(ba_dec2str(&d, buf, c.len, c.places), c.rc) << c.value << " " << c.places;
    EXPECT_STREQ(buf, c.text) << c.value << " " << c.places;
  }
}

}  // namespace
