// Tests of ba_dec: validity, zero test, comparison, the four operations, rounding, truncation
// and scale, ba_atoint; and a differential test of the arithmetic and the text conversions
// against an exact oracle built on GMP rationals.
#include "ba/ba_dec.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "ba/ba_dectest.h"
#include "ba/ba_sys.h"

namespace {

using dectest::D;
using dectest::expect_fields;
using dectest::F;
using dectest::fields;
using dectest::make;
using dectest::null_dec;

// ---- Validity and zero -----------------------------------------------------------------

int valid(ba_decimal d) { return ba_decvalid(&d); }

TEST(DecValid, RangesOfTheFields) {
  EXPECT_EQ(valid(make(99, 1, {1})), 1);
  EXPECT_EQ(valid(make(-99, 0, {1})), 1);
  EXPECT_EQ(valid(make(100, 1, {1})), 0);
  EXPECT_EQ(valid(make(-100, 1, {1})), 0);
  ba_decimal d = make(1, 2, {1});
  EXPECT_EQ(ba_decvalid(&d), 0);
  d = make(1, -2, {1});
  EXPECT_EQ(ba_decvalid(&d), 0);
  d = make(1, 1, {1});
  d.ndigits = 17;
  EXPECT_EQ(ba_decvalid(&d), 0);
  d.ndigits = -1;
  EXPECT_EQ(ba_decvalid(&d), 0);
}

TEST(DecValid, NullIsValidWhateverTheOtherFields) {
  ba_decimal d = make(500, -1, {});
  d.ndigits = 99;
  EXPECT_EQ(ba_decvalid(&d), 1);
}

TEST(DecZero, ZeroDigitsOrNoDigits) {
  ba_decimal z = D("0"), none = make(0, 1, {}), zeros = make(2, 0, {0, 0, 0}), one = D("0.01");
  EXPECT_EQ(ba_deczero(&z), 1);
  EXPECT_EQ(ba_deczero(&none), 1);
  EXPECT_EQ(ba_deczero(&zeros), 1);
  EXPECT_EQ(ba_deczero(&one), 0);
  ba_decimal n = null_dec(), bad = make(120, 1, {1});
  EXPECT_EQ(ba_deczero(&n), -1);
  EXPECT_EQ(ba_deczero(&bad), -1);
}

// ---- Comparison --------------------------------------------------------------------------

int cmp(const char *a, const char *b) {
  ba_decimal x = D(a), y = D(b);
  return ba_deccomp(&x, &y);
}

TEST(DecComp, OrdersBySignAndMagnitude) {
  EXPECT_EQ(cmp("1.5", "1.25"), 1);
  EXPECT_EQ(cmp("1.25", "1.5"), -1);
  EXPECT_EQ(cmp("100", "99.99"), 1);
  EXPECT_EQ(cmp("-100", "-99.99"), -1);
  EXPECT_EQ(cmp("-1", "0.001"), -1);
  EXPECT_EQ(cmp("0.001", "-1"), 1);
  EXPECT_EQ(cmp("1.50", "1.5"), 0);  // trailing zero digit
  EXPECT_EQ(cmp("0001.5", "1.5"), 0);
}

TEST(DecComp, ZerosOfEitherSignAreEqual) {
  ba_decimal pz = D("0"), nz = make(1, 0, {0}), none = make(0, 0, {});
  EXPECT_EQ(ba_deccomp(&pz, &nz), 0);
  EXPECT_EQ(ba_deccomp(&nz, &pz), 0);
  EXPECT_EQ(ba_deccomp(&none, &pz), 0);
}

TEST(DecComp, OperandsAtTheBottomOfTheExponentRange) {
  // Exponent -99 with 16 digits reaches below position 199 of the aligned array; the
  // comparison still sees the last digit.
  ba_decimal a = make(-99, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  ba_decimal b = a;
  b.digits[15] = 17;
  EXPECT_EQ(ba_deccomp(&a, &b), -1);
  EXPECT_EQ(ba_deccomp(&b, &a), 1);
}

// ---- Addition and subtraction ----------------------------------------------------------

ba_decimal add(const char *a, const char *b) {
  ba_decimal x = D(a), y = D(b), r;
  EXPECT_EQ(ba_decadd(&x, &y, &r), 0);
  return r;
}

ba_decimal sub(const char *a, const char *b) {
  ba_decimal x = D(a), y = D(b), r;
  EXPECT_EQ(ba_decsub(&x, &y, &r), 0);
  return r;
}

TEST(DecAdd, CarriesAcrossPositions) {
  expect_fields(add("99.99", "0.01"), make(2, 1, {1}));
  expect_fields(add("1.5", "2.25"), make(1, 1, {3, 75}));
  expect_fields(add("-1.5", "-2.25"), make(1, 0, {3, 75}));
}

TEST(DecAdd, MixedSignsSubtract) {
  expect_fields(add("5", "-3"), make(1, 1, {2}));
  expect_fields(add("-5", "3"), make(1, 0, {2}));
  expect_fields(add("3", "-5"), make(1, 0, {2}));
}

TEST(DecAdd, KeepsSixteenDigitsAndDropsTheRest) {
  // 10^30 + 0.01: the exact sum needs 17 base-100 digits; the last one is dropped.
  expect_fields(add("1E30", "0.01"), make(16, 1, {1}));
  ba_decimal r = add("99999999999999999999999999999999", "1");  // 32 nines + 1
  expect_fields(r, make(17, 1, {1}));
}

TEST(DecAdd, ResultMayBeAnOperand) {
  ba_decimal a = D("1.25"), b = D("2");
  ASSERT_EQ(ba_decadd(&a, &b, &a), 0);
  EXPECT_EQ(F(a), "3.25");
  ASSERT_EQ(ba_decadd(&a, &a, &a), 0);
  EXPECT_EQ(F(a), "6.5");
}

TEST(DecAdd, TinyOperandsStayExact) {
  // Digits below position 199 of the aligned array take part in the sum.
  ba_decimal a = make(-99, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7});
  ba_decimal b = make(-99, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 95});
  ba_decimal r;
  ASSERT_EQ(ba_decadd(&a, &b, &r), 0);
  expect_fields(r, make(-99, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}));
}

TEST(DecSub, SpecimenResults) {
  expect_fields(sub("-5", "-3"), make(1, 0, {2}));
  expect_fields(sub("-3", "-5"), make(1, 1, {2}));
  expect_fields(sub("5", "-3"), make(1, 1, {8}));
  expect_fields(sub("-5", "3"), make(1, 0, {8}));
  expect_fields(sub("100", "0.01"), make(1, 1, {99, 99}));
}

TEST(DecSub, EqualOperandsGiveZeroWithTheSignOfA) {
  ba_decimal r = sub("-2.5", "-2.5");
  EXPECT_EQ(r.positive, 0);
  EXPECT_EQ(ba_deczero(&r), 1);
  EXPECT_EQ(F(r), "0");  // a negative zero prints without its sign
  r = sub("2.5", "2.5");
  EXPECT_EQ(r.positive, 1);
}

TEST(DecSub, CancellationBelowTheExponentRangeKeepsLeadingZeros) {
  // |a - b| lies below 100^-100: the result starts at exponent -99 with a leading zero.
  ba_decimal a = make(-99, 1, {1, 5}), b = make(-99, 1, {1, 0}), r;
  ASSERT_EQ(ba_decsub(&a, &b, &r), 0);
  expect_fields(r, make(-99, 1, {0, 5}));
}

// ---- Multiplication ----------------------------------------------------------------------

ba_decimal mul(const char *a, const char *b) {
  ba_decimal x = D(a), y = D(b), r;
  EXPECT_EQ(ba_decmul(&x, &y, &r), 0);
  return r;
}

TEST(DecMul, TrailingZerosStay) {
  expect_fields(mul("1.5", "1.5"), make(1, 1, {2, 25, 0}));
  expect_fields(mul("1000", "1000"), make(4, 1, {1, 0}));
  expect_fields(mul("-2", "3"), make(1, 0, {6}));
  expect_fields(mul("-2", "-3"), make(1, 1, {6}));
}

TEST(DecMul, LeadingZerosNotRemovedFromTheFraction) {
  // 0.01 * 0.01 = 0.0001: two fraction digits; the leading zero digit is a fraction digit.
  expect_fields(mul("0.01", "0.01"), make(0, 1, {0, 1}));
}

TEST(DecMul, NoRounding) {
  // 0.(32 nines) squared = 0.(31 nines)8(31 zeros)1: the first 16 digits, not rounded up.
  ba_decimal a = make(0, 1, {99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99}), r;
  ASSERT_EQ(ba_decmul(&a, &a, &r), 0);
  expect_fields(r, make(0, 1, {99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 98}));
  // 2/3 * 3 style truncation: 0.(16 pairs 66) * 1.5 keeps 16 digits without rounding.
  ba_decimal b = make(0, 1, {66, 66, 66, 66, 66, 66, 66, 66, 66, 66, 66, 66, 66, 66, 66, 67});
  ba_decimal c = D("1.5");
  ASSERT_EQ(ba_decmul(&b, &c, &r), 0);
  expect_fields(r, make(1, 1, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(DecMul, ProductOutsideTheExponentRangeIsInvalid) {
  ba_decimal big = D("1E150"), small = D("1E-150"), r = D("7");
  EXPECT_EQ(ba_decmul(&big, &big, &r), -6);
  EXPECT_EQ(ba_decmul(&small, &small, &r), -6);
  expect_fields(r, D("7"));  // untouched
}

// ---- Division ------------------------------------------------------------------------

ba_decimal quo(const char *a, const char *b) {
  ba_decimal x = D(a), y = D(b), r;
  EXPECT_EQ(ba_decdiv(&x, &y, &r), 0);
  return r;
}

TEST(DecDiv, OneThird) {
  expect_fields(quo("1", "3"),
                make(0, 1, {33, 33, 33, 33, 33, 33, 33, 33, 33, 33, 33, 33, 33, 33, 33, 0}));
}

TEST(DecDiv, ExactQuotients) {
  expect_fields(quo("6", "3"), make(1, 1, {2}));
  expect_fields(quo("10", "4"), make(1, 1, {2, 50}));
  expect_fields(quo("1", "2"), make(0, 1, {50, 0}));
  expect_fields(quo("12345", "5"), make(2, 1, {24, 69, 0}));
  expect_fields(quo("-7.5", "2.5"), make(1, 0, {3}));
}

TEST(DecDiv, SmallQuotientsShiftRight) {
  // 1/30000 = 0.0000333...: exponent -1 becomes 0 with a leading zero digit.
  ba_decimal r = quo("1", "30000");
  EXPECT_EQ(r.exponent, 0);
  EXPECT_EQ(r.digits[0], 0);
  EXPECT_EQ(r.digits[1], 0);
  EXPECT_EQ(r.digits[2], 33);
  // 0.0001 / 1: the shifted digit stays inside ndigits.
  expect_fields(quo("0.0001", "1"), make(0, 1, {0, 1}));
}

TEST(DecDiv, ByZeroLeavesTheResultUntouched) {
  ba_decimal a = D("5"), z = D("0"), none = make(0, 1, {}), r = D("42");
  EXPECT_EQ(ba_decdiv(&a, &z, &r), -3);
  EXPECT_EQ(ba_decdiv(&a, &none, &r), -3);
  expect_fields(r, D("42"));
}

TEST(DecDiv, ZeroDividend) {
  ba_decimal r = quo("0", "7");
  EXPECT_EQ(ba_deczero(&r), 1);
}

// ---- Rounding and truncation ------------------------------------------------------------

TEST(DecRound, HalfUpWithCarry) {
  ba_decimal d = D("99.5");
  EXPECT_EQ(ba_decround(&d, 0), 0);
  expect_fields(d, make(2, 1, {1}));
  d = D("123.456");
  ba_decround(&d, 2);
  EXPECT_EQ(F(d), "123.46");
  d = D("123.454");
  ba_decround(&d, 2);
  EXPECT_EQ(F(d), "123.45");
  d = D("-0.5");
  ba_decround(&d, 0);
  expect_fields(d, make(1, 0, {1}));
  d = D("1.25");
  ba_decround(&d, 1);
  expect_fields(d, make(1, 1, {1, 30}));  // an odd last digit d packs as d * 10
}

TEST(DecTrunc, DropsTheRest) {
  ba_decimal d = D("99.5");
  EXPECT_EQ(ba_dectrunc(&d, 0), 0);
  expect_fields(d, make(1, 1, {99}));
  d = D("-1.999");
  ba_dectrunc(&d, 1);
  expect_fields(d, make(1, 0, {1, 90}));
}

TEST(DecRound, EnoughPlacesChangesNothing) {
  ba_decimal d = D("1.5"), want = d;
  ba_decround(&d, 5);
  expect_fields(d, want);
}

TEST(DecRound, NegativePlacesRoundToTensAndHundreds) {
  ba_decimal d = D("1250");
  ba_decround(&d, -2);
  EXPECT_EQ(F(d), "1300");
  d = D("1249");
  ba_dectrunc(&d, -2);
  EXPECT_EQ(F(d), "1200");
  d = D("0.5");
  ba_decround(&d, 0);  // k = 0: the first digit decides
  EXPECT_EQ(F(d), "1");
  d = D("0.4");
  ba_decround(&d, 0);
  EXPECT_EQ(F(d), "0");
}

TEST(DecRound, FewerPlacesThanTheIntegerPartGiveZero) {
  // places + 2 * exponent < 0: 123 rounded to millions of millions is 0.
  ba_decimal d = D("123");
  ba_decround(&d, -6);
  EXPECT_EQ(ba_deczero(&d), 1);
  EXPECT_EQ(d.ndigits, 0);
  d = D("999");
  ba_dectrunc(&d, -7);
  EXPECT_EQ(ba_deczero(&d), 1);
  d = D("0.009");  // exponent -1 (0.009 = 0.0090): rounding to 0 places
  ba_decround(&d, 0);
  EXPECT_EQ(ba_deczero(&d), 1);
}

TEST(DecRound, NullAndInvalidAreLeftAlone) {
  ba_decimal n = null_dec(), bad = make(1, 1, {1, 2});
  bad.ndigits = 40;
  ba_decimal n0 = n, bad0 = bad;
  EXPECT_EQ(ba_decround(&n, 0), 0);
  EXPECT_EQ(ba_dectrunc(&bad, 0), 0);
  EXPECT_EQ(memcmp(&n, &n0, sizeof n), 0);
  EXPECT_EQ(memcmp(&bad, &bad0, sizeof bad), 0);
}

// ---- Scale -------------------------------------------------------------------------------

TEST(DecScale, PlacesNeeded) {
  ba_decimal d = D("1000");
  EXPECT_EQ(ba_decscale(&d), 0);
  d = D("1.5");
  EXPECT_EQ(ba_decscale(&d), 1);
  d = D("1.25");
  EXPECT_EQ(ba_decscale(&d), 2);
  d = D("1.500");  // [1, 50, 0]: a zero pair counts 2, a pair ending in 0 counts 1
  EXPECT_EQ(ba_decscale(&d), 1);
  d = D("0.005");
  EXPECT_EQ(ba_decscale(&d), 3);
  d = make(-1, 1, {5});  // 0.0005
  EXPECT_EQ(ba_decscale(&d), 4);
  d = D("1.00");
  EXPECT_EQ(ba_decscale(&d), 0);
  d = make(1, 1, {10, 0});  // 10.00: the count stops at the point
  EXPECT_EQ(ba_decscale(&d), 0);
  d = null_dec();
  EXPECT_EQ(ba_decscale(&d), 0);
}

// ---- ba_atoint ---------------------------------------------------------------------------

TEST(AtoInt, IntegersAndFractions) {
  int v = 7;
  EXPECT_EQ(ba_atoint("123", &v), 0);
  EXPECT_EQ(v, 123);
  EXPECT_EQ(ba_atoint("-45.9", &v), 0);
  EXPECT_EQ(v, -45);
  EXPECT_EQ(ba_atoint("2147483647", &v), 0);
  EXPECT_EQ(v, 2147483647);
  EXPECT_EQ(ba_atoint("-2147483647", &v), 0);
  EXPECT_EQ(v, -2147483647);
  EXPECT_EQ(ba_atoint("1E3", &v), 0);
  EXPECT_EQ(v, 1000);
}

TEST(AtoInt, Failures) {
  int v = 7;
  EXPECT_EQ(ba_atoint("2147483648", &v), -1);
  EXPECT_EQ(ba_atoint("-2147483648", &v), -1);
  EXPECT_EQ(ba_atoint("2147483647.5", &v), -1);  // the value lies outside
  EXPECT_EQ(ba_atoint("abc", &v), -1);
  EXPECT_EQ(ba_atoint("", &v), -1);
  EXPECT_EQ(ba_atoint("1E500", &v), -1);
  EXPECT_EQ(ba_atoint(nullptr, &v), -1);
  EXPECT_EQ(v, 7);
}

// ---- Dump -------------------------------------------------------------------------------

TEST(DecDump, PrintsTheFields) {
  ba_decimal d = D("-12.345");
  testing::internal::CaptureStdout();
  ba_decdump(&d);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Exponent 1\npositiv 0\nDigits 3\n"
            "12 34 50 00 00 00 00 00 00 00 00 00 00 00 00 00 \n");
}

// ---- Error paths -------------------------------------------------------------------------

using binop = int (*)(const ba_decimal *, const ba_decimal *, ba_decimal *);
const binop kOps[] = {ba_decadd, ba_decsub, ba_decmul, ba_decdiv};

TEST(DecErrors, InvalidOperandsGiveMinusSixAndLeaveTheResult) {
  ba_decimal good = D("2"), bad = make(100, 1, {1}), r = D("9");
  for (binop op : kOps) {
    EXPECT_EQ(op(&good, &bad, &r), -6);
    EXPECT_EQ(op(&bad, &good, &r), -6);
  }
  expect_fields(r, D("9"));
  EXPECT_EQ(ba_deccomp(&good, &bad), -6);
  EXPECT_EQ(ba_decscale(&bad), -6);
}

TEST(DecErrors, InvalidWinsOverNull) {
  ba_decimal n = null_dec(), bad = make(0, 5, {1});
  EXPECT_EQ(ba_deccomp(&n, &bad), -6);
  ba_decimal r;
  EXPECT_EQ(ba_decadd(&n, &bad, &r), -6);
}

TEST(DecErrors, NullPassesThrough) {
  ba_decimal n = null_dec(), x = D("3"), r = D("1");
  for (binop op : kOps) {
    r = D("1");
    EXPECT_EQ(op(&n, &x, &r), 0);
    EXPECT_EQ(r.positive, -1);
    r = D("1");
    EXPECT_EQ(op(&x, &n, &r), 0);
    EXPECT_EQ(r.positive, -1);
  }
  ba_decimal z = D("0");
  EXPECT_EQ(ba_decdiv(&n, &z, &r), 0);  // null before the zero divisor
  EXPECT_EQ(ba_deccomp(&n, &x), -2);
  EXPECT_EQ(ba_deccomp(&x, &n), -2);
}

TEST(DecErrors, CarryBeyondTheExponentRange) {
  ba_decimal a = make(99, 1, {99}), r = D("1");
  EXPECT_EQ(ba_decadd(&a, &a, &r), -6);
  ba_decimal b = make(99, 0, {99});
  EXPECT_EQ(ba_decsub(&a, &b, &r), -6);
  expect_fields(r, D("1"));
}

TEST(DecErrors, QuotientBeyondTheExponentRange) {
  ba_decimal a = D("1E150"), b = D("1E-150"), r = D("1");
  EXPECT_EQ(ba_decdiv(&a, &b, &r), -6);
  expect_fields(r, D("1"));
}

// ---- Differential test against GMP ---------------------------------------------------------
//
// Random decimals (seeded, reproducible) of 0..16 digits, exponents over the whole range and
// often close together, both signs, sometimes with leading or trailing zero digits. The
// oracle computes the exact rational result and cuts it where the algorithms prescribe.

class Rational {
 public:
  Rational() { mpq_init(q_); }
  ~Rational() { mpq_clear(q_); }
  Rational(const Rational &) = delete;
  Rational &operator=(const Rational &) = delete;
  mpq_t &q() { return q_; }
  const mpq_t &q() const { return q_; }

 private:
  mpq_t q_;
};

// q = value of d.
void value_of(const ba_decimal &d, Rational *r) {
  mpz_t n, p;
  mpz_inits(n, p, nullptr);
  for (int i = 0; i < d.ndigits; i++) {
    mpz_mul_ui(n, n, 100);
    mpz_add_ui(n, n, d.digits[i]);
  }
  if (d.positive == 0) mpz_neg(n, n);
  int scale = d.exponent - d.ndigits;
  mpz_ui_pow_ui(p, 100, scale < 0 ? -scale : scale);
  mpq_set_z(r->q(), n);
  if (scale >= 0) {
    mpz_mul(mpq_numref(r->q()), mpq_numref(r->q()), p);
  } else {
    mpz_set(mpq_denref(r->q()), p);
    mpq_canonicalize(r->q());
  }
  mpz_clears(n, p, nullptr);
}

// 100^place as a rational.
void power100(int place, Rational *r) {
  mpz_t p;
  mpz_init(p);
  mpz_ui_pow_ui(p, 100, place < 0 ? -place : place);
  mpq_set_z(r->q(), p);
  if (place < 0) mpq_inv(r->q(), r->q());
  mpz_clear(p);
}

// 10^place as a rational.
void power10(int place, Rational *r) {
  mpz_t p;
  mpz_init(p);
  mpz_ui_pow_ui(p, 10, place < 0 ? -place : place);
  mpq_set_z(r->q(), p);
  if (place < 0) mpq_inv(r->q(), r->q());
  mpz_clear(p);
}

// out = v cut toward zero to a multiple of 100^place.
void truncate_at(const Rational &v, int place, Rational *out) {
  Rational unit, scaled;
  power100(place, &unit);
  mpq_div(scaled.q(), v.q(), unit.q());
  mpz_t t;
  mpz_init(t);
  mpz_tdiv_q(t, mpq_numref(scaled.q()), mpq_denref(scaled.q()));
  mpq_set_z(out->q(), t);
  mpq_mul(out->q(), out->q(), unit.q());
  mpz_clear(t);
}

// The place t of the first non-zero base-100 digit: 100^t <= |v| < 100^(t+1). v != 0.
int first_place(const Rational &v) {
  Rational a, unit;
  mpq_abs(a.q(), v.q());
  int t = (static_cast<int>(mpz_sizeinbase(mpq_numref(a.q()), 10)) -
           static_cast<int>(mpz_sizeinbase(mpq_denref(a.q()), 10))) / 2 - 2;
  for (;;) {
    power100(t + 1, &unit);
    if (mpq_cmp(a.q(), unit.q()) < 0) break;
    t++;
  }
  for (;;) {
    power100(t, &unit);
    if (mpq_cmp(a.q(), unit.q()) >= 0) break;
    t--;
  }
  return t;
}

std::string show(const Rational &v) {
  char *s = mpq_get_str(nullptr, 10, v.q());
  std::string r(s);
  void (*freefunc)(void *, size_t);
  mp_get_memory_functions(nullptr, nullptr, &freefunc);
  freefunc(s, strlen(s) + 1);
  return r;
}

class DecGen {
 public:
  explicit DecGen(unsigned seed) : rng_(seed) {}
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  ba_decimal decimal(int exponent) {
    ba_decimal d = make(exponent, uniform(0, 1), {});
    int n = uniform(0, 20) == 0 ? 0 : uniform(1, 16);
    for (int i = 0; i < n; i++) d.digits[i] = static_cast<uint8_t>(uniform(0, 99));
    if (n > 0 && uniform(0, 9) != 0 && d.digits[0] == 0) d.digits[0] = static_cast<uint8_t>(uniform(1, 99));
    if (n > 1 && uniform(0, 9) == 0) d.digits[n - 1] = 0;  // a trailing zero digit
    d.ndigits = static_cast<int16_t>(n);
    return d;
  }
  ba_decimal any() { return decimal(exponent()); }
  // A second operand: often near the first one's exponent so that digits overlap.
  ba_decimal near(const ba_decimal &a) {
    if (uniform(0, 3) == 0) return any();
    return decimal(std::clamp(a.exponent + uniform(-18, 18), -99, 99));
  }

 private:
  int exponent() {
    switch (uniform(0, 3)) {
      case 0: return uniform(-99, 99);
      case 1: return uniform(-99, -80);
      case 2: return uniform(80, 99);
      default: return uniform(-10, 10);
    }
  }
  std::mt19937 rng_;
};

constexpr unsigned kSeed = 20240611;
constexpr int kRounds = 20000;

// The expected sum or difference: cut to 16 digits from the first non-zero place, but not
// starting below place -100 (exponent -99). Returns the expected exponent (0 for zero).
int expected_sum(const Rational &exact, Rational *want) {
  if (mpq_sgn(exact.q()) == 0) {
    mpq_set_ui(want->q(), 0, 1);
    return 0;
  }
  int start = std::max(first_place(exact), -100);
  truncate_at(exact, start - 15, want);
  return start + 1;
}

void check_result(const char *what, const ba_decimal &a, const ba_decimal &b, int rc,
                  const ba_decimal &r, int exponent, const Rational &want) {
  std::string ctx = std::string(what) + " a=" + fields(a) + " b=" + fields(b);
  if (exponent > 99 || exponent < -99) {
    EXPECT_EQ(rc, -6) << ctx;
    return;
  }
  ASSERT_EQ(rc, 0) << ctx;
  ASSERT_EQ(ba_decvalid(&r), 1) << ctx << " r=" << fields(r);
  Rational got;
  value_of(r, &got);
  EXPECT_TRUE(mpq_equal(got.q(), want.q())) << ctx << " r=" << fields(r) << " got " << show(got)
                                            << " want " << show(want);
}

TEST(DecDifferential, AdditionAndSubtraction) {
  DecGen g(kSeed);
  for (int round = 0; round < kRounds; round++) {
    ba_decimal a = g.any(), b = g.near(a), r;
    Rational va, vb, exact, want;
    value_of(a, &va);
    value_of(b, &vb);
    mpq_add(exact.q(), va.q(), vb.q());
    int e = expected_sum(exact, &want);
    check_result("add", a, b, ba_decadd(&a, &b, &r), r, e, want);
    mpq_sub(exact.q(), va.q(), vb.q());
    e = expected_sum(exact, &want);
    check_result("sub", a, b, ba_decsub(&a, &b, &r), r, e, want);
    if (HasFatalFailure()) return;
  }
}

TEST(DecDifferential, Comparison) {
  DecGen g(kSeed + 1);
  for (int round = 0; round < kRounds; round++) {
    ba_decimal a = g.any(), b = g.uniform(0, 4) == 0 ? a : g.near(a);
    if (g.uniform(0, 4) == 0) b.positive = a.positive;
    Rational va, vb;
    value_of(a, &va);
    value_of(b, &vb);
    int want = mpq_cmp(va.q(), vb.q());
    want = want > 0 ? 1 : want < 0 ? -1 : 0;
    ASSERT_EQ(ba_deccomp(&a, &b), want) << fields(a) << " vs " << fields(b);
  }
}

TEST(DecDifferential, Multiplication) {
  DecGen g(kSeed + 2);
  for (int round = 0; round < kRounds; round++) {
    ba_decimal a = g.decimal(g.uniform(-50, 50)), b = g.decimal(g.uniform(-50, 50)), r;
    Rational va, vb, exact, want;
    value_of(a, &va);
    value_of(b, &vb);
    mpq_mul(exact.q(), va.q(), vb.q());
    // The 32-position product keeps its digits from the first non-zero place, but never
    // below the first fraction place (place -1) and never above 31 - F (F fraction digits).
    int frac = (a.ndigits - a.exponent) + (b.ndigits - b.exponent);
    int top = frac > 32 ? 31 - frac : -1;
    if (mpq_sgn(exact.q()) != 0) top = std::max(first_place(exact), top);
    truncate_at(exact, top - 15, &want);
    check_result("mul", a, b, ba_decmul(&a, &b, &r), r, top + 1, want);
    if (HasFatalFailure()) return;
  }
}

TEST(DecDifferential, Division) {
  DecGen g(kSeed + 3);
  for (int round = 0; round < kRounds; round++) {
    ba_decimal a = g.decimal(g.uniform(-40, 40)), b = g.decimal(g.uniform(-40, 40)), r;
    if (a.ndigits == 0 || ba_deczero(&b) == 1) continue;
    Rational va, vb, exact, want;
    value_of(a, &va);
    value_of(b, &vb);
    mpq_div(exact.q(), va.q(), vb.q());
    // Quotient digits start at place P1 (the last digit of the first remainder over the
    // divisor's last place); 16 of them are kept, the long division stops 15 places below
    // the dividend's last place, and a quotient below 0.01 is shifted to exponent 0.
    int ai = 0, bi = 0;
    while (ai < a.ndigits - 1 && a.digits[ai] == 0) ai++;
    while (b.digits[bi] == 0) bi++;
    int la = a.ndigits - ai, lb = b.ndigits - bi;
    int f0 = (a.ndigits - a.exponent) - (b.ndigits - b.exponent);
    int p1 = (a.exponent - ai - std::min(la, lb)) - (b.exponent - b.ndigits);
    int place = std::max({-(f0 + 15), p1 - 15, -16});
    truncate_at(exact, place, &want);
    check_result("div", a, b, ba_decdiv(&a, &b, &r), r, std::max(p1 + 1, 0), want);
    if (HasFatalFailure()) return;
  }
}

// The value of a plain decimal text ("-12.5", "0.001"), parsed by the oracle.
void text_value(const std::string &text, Rational *r) {
  std::string digits;
  int frac = 0;
  bool seen_point = false, neg = false;
  for (char c : text) {
    if (c == '-') neg = true;
    else if (c == '.') seen_point = true;
    else {
      digits += c;
      if (seen_point) frac++;
    }
  }
  mpz_t n, p;
  mpz_inits(n, p, nullptr);
  mpz_set_str(n, digits.c_str(), 10);
  if (neg) mpz_neg(n, n);
  mpz_ui_pow_ui(p, 10, frac);
  mpq_set_num(r->q(), n);
  mpq_set_den(r->q(), p);
  mpq_canonicalize(r->q());
  mpz_clears(n, p, nullptr);
}

TEST(DecDifferential, FormattingIsExact) {
  DecGen g(kSeed + 4);
  for (int round = 0; round < kRounds; round++) {
    ba_decimal d = g.any();
    std::string text = F(d, -1, 400);
    ASSERT_NE(text.find_first_of("0123456789"), std::string::npos) << fields(d);
    Rational got, want;
    text_value(text, &got);
    value_of(d, &want);
    ASSERT_TRUE(mpq_equal(got.q(), want.q())) << fields(d) << " -> " << text;
    // Rounded to n places: half away from zero on the magnitude. A zero without digits
    // prints as "0" whatever the places.
    int n = g.uniform(0, 12);
    std::string rounded = F(d, n, 400);
    if (d.ndigits == 0) {
      ASSERT_EQ(rounded, "0");
      continue;
    }
    Rational unit, half, mag, want_r;
    power10(-n, &unit);
    mpq_abs(mag.q(), want.q());
    mpq_set_ui(half.q(), 1, 2);
    mpq_mul(half.q(), half.q(), unit.q());
    mpq_add(mag.q(), mag.q(), half.q());
    mpq_div(mag.q(), mag.q(), unit.q());
    mpz_t t;
    mpz_init(t);
    mpz_fdiv_q(t, mpq_numref(mag.q()), mpq_denref(mag.q()));
    mpq_set_z(want_r.q(), t);
    mpq_mul(want_r.q(), want_r.q(), unit.q());
    if (d.positive == 0) mpq_neg(want_r.q(), want_r.q());
    mpz_clear(t);
    text_value(rounded, &got);
    ASSERT_TRUE(mpq_equal(got.q(), want_r.q())) << fields(d) << " n=" << n << " -> " << rounded;
    size_t point = rounded.find('.');
    ASSERT_EQ(n == 0 ? std::string::npos : rounded.size() - point - 1,
              n == 0 ? point : static_cast<size_t>(n))
        << rounded;
  }
}

TEST(DecDifferential, ParsingIsExact) {
  DecGen g(kSeed + 5);
  for (int round = 0; round < kRounds; round++) {
    // A digit string of 1..34 digits with a point somewhere (or none) and maybe an exponent.
    int n = g.uniform(1, 34);
    std::string digits;
    for (int i = 0; i < n; i++) digits += static_cast<char>('0' + g.uniform(i == 0 ? 1 : 0, 9));
    int point = g.uniform(0, 2) == 0 ? -1 : g.uniform(0, n);
    int e = g.uniform(0, 2) == 0 ? g.uniform(-60, 60) : 0;
    bool hasexp = e != 0 || g.uniform(0, 5) == 0;
    bool neg = g.uniform(0, 1) == 1;
    std::string text = neg ? "-" : "";
    text += point < 0 ? digits : digits.substr(0, point) + "." + digits.substr(point);
    if (hasexp) text += "E" + std::to_string(e);
    // Expected pairs: an integer without point and exponent gives its trailing zeros to e.
    std::string ds = digits;
    int ee = e, intdigits = point < 0 ? n : point;
    if (point < 0 && !hasexp) {
      while (ds.size() > 1 && ds.back() == '0') ds.pop_back(), ee++;
      intdigits = static_cast<int>(ds.size());
    }
    int nd = static_cast<int>(ds.size());
    int pairs = ((intdigits + ee) & 1) ? 1 + nd / 2 : (nd + 1) / 2;
    ba_decimal d;
    int rc = ba_str2dec(text.c_str(), 200, &d);
    if (pairs > 16) {
      ASSERT_EQ(rc, -2) << text;
      continue;
    }
    ASSERT_EQ(rc, 0) << text;
    // The text's value: +-digits * 10^(e - fraction digits).
    Rational got, want, scale;
    value_of(d, &got);
    text_value((neg ? "-" : "") + digits, &want);
    power10(e - (point < 0 ? 0 : n - point), &scale);
    mpq_mul(want.q(), want.q(), scale.q());
    ASSERT_TRUE(mpq_equal(got.q(), want.q())) << text << " -> " << fields(d);
    // Formatting gives the same value back, and its text parses to an equal decimal.
    if (ba_decvalid(&d)) {
      std::string back = F(d, -1, 400);
      ba_decimal d2;
      if (back.size() <= 100 && ba_str2dec(back.c_str(), 200, &d2) == 0) {
        ASSERT_EQ(ba_deccomp(&d, &d2), 0) << text << " -> " << back;
      }
    }
  }
}

TEST(DecDifferential, IntegerConversions) {
  DecGen g(kSeed + 6);
  for (int round = 0; round < kRounds; round++) {
    int v = round < 4 ? std::array<int, 4>{0, INT_MAX, -INT_MAX, 1}[round]
                      : static_cast<int>(static_cast<unsigned>(g.uniform(INT_MIN, INT_MAX)));
    if (v == INT_MIN) continue;
    ba_decimal d;
    ASSERT_EQ(ba_long2dec(v, &d), 0);
    Rational got;
    value_of(d, &got);
    ASSERT_EQ(mpz_get_si(mpq_numref(got.q())), v);
    int back = ~v;
    ASSERT_EQ(ba_dec2long(&d, &back), 0);
    ASSERT_EQ(back, v);
    ASSERT_EQ(std::to_string(v), F(d));
  }
}

// ---- Representation against the literal algorithms ------------------------------------------
//
// The operations work on several positions or quotient digits at a time; these references do
// it one position and one digit at a time, as the algorithms are written, and every field of
// the result (ndigits and trailing zeros included) must be the same.

constexpr int kPositions = 216;  // 200 of the exponent range and 16 below

// Sum or difference of the magnitudes on the aligned positions, collected as the operations do
// (digits from the first non-zero position, not below position 199; carry beyond 99: -6).
int literal_addsub(const ba_decimal &a, const ba_decimal &b, bool subtract, ba_decimal *r) {
  int x[kPositions] = {}, y[kPositions] = {}, z[kPositions] = {};
  for (int i = 0; i < a.ndigits; i++) x[100 - a.exponent + i] = a.digits[i];
  for (int i = 0; i < b.ndigits; i++) y[100 - b.exponent + i] = b.digits[i];
  int sign = a.positive;
  if (subtract && std::lexicographical_compare(x, x + kPositions, y, y + kPositions)) {
    std::swap(x, y);
    sign = 1 - sign;
  }
  int carry = 0;
  for (int p = kPositions - 1; p >= 0; p--) {
    int v = subtract ? x[p] - y[p] - carry : x[p] + y[p] + carry;
    carry = subtract ? v < 0 : v >= 100;
    z[p] = subtract ? (v + 100) % 100 : v % 100;
  }
  if (!subtract && carry) return -6;
  *r = make(0, sign, {});
  int p = 0;
  while (p < kPositions && z[p] == 0) p++;
  if (p == kPositions) return 0;
  p = std::min(p, 199);
  if (100 - p > 99) return -6;
  r->exponent = static_cast<int16_t>(100 - p);
  for (int i = 0; i < 16 && p + i < kPositions; i++) r->digits[i] = static_cast<uint8_t>(z[p + i]);
  int n = 16;
  while (n > 0 && r->digits[n - 1] == 0) n--;
  r->ndigits = static_cast<int16_t>(n);
  return 0;
}

// The long division one quotient digit per step.
int literal_div(const ba_decimal &a, const ba_decimal &b, ba_decimal *r) {
  using u128 = unsigned __int128;
  int ai = 0, bi = 0;
  while (ai < a.ndigits - 1 && a.digits[ai] == 0) ai++;
  while (b.digits[bi] == 0) bi++;
  uint8_t zero = 0;
  const uint8_t *ad = a.ndigits > 0 ? a.digits + ai : &zero;
  int la = a.ndigits > 0 ? a.ndigits - ai : 1, lb = b.ndigits - bi;
  u128 divisor = 0, rem = 0;
  for (int j = bi; j < b.ndigits; j++) divisor = divisor * 100 + b.digits[j];
  int f = (a.ndigits - a.exponent) - (b.ndigits - b.exponent);
  int m = std::min(la, lb), next = m, nq = 0, zeros = 0;
  for (int i = 0; i < m; i++) rem = rem * 100 + ad[i];
  *r = make(0, a.positive == b.positive ? 1 : 0, {});
  for (;;) {
    auto q = static_cast<int>(rem / divisor);
    rem -= q * divisor;
    if (nq < 16) r->digits[nq] = static_cast<uint8_t>(q);
    nq++;
    if (next < la) {
      rem = rem * 100 + ad[next++];
    } else {
      rem *= 100, f++, zeros++;
    }
    if (zeros == 16 || (rem == 0 && next >= la)) break;
  }
  r->ndigits = static_cast<int16_t>(std::min(nq, 16));
  int e = nq - f + 1;
  uint8_t *d = r->digits;
  for (; e < 0; e++) {
    memmove(d + 1, d, 15);
    d[0] = 0;
    r->ndigits = static_cast<int16_t>(std::min(r->ndigits + 1, 16));
  }
  for (int k = 0; k < 15 && e > 0 && d[0] == 0; k++, e--) {
    memmove(d, d + 1, 15);
    d[15] = 0;
  }
  r->exponent = static_cast<int16_t>(e);
  return ba_decvalid(r) ? 0 : -6;
}

// Operands that stress the runs: few divisor digits (exact quotients that stop inside a run),
// leading and trailing zero digits, and exponents close together and far apart.
ba_decimal stress_operand(DecGen &g, const ba_decimal *near) {
  ba_decimal d = near != nullptr ? g.near(*near) : g.any();
  if (d.ndigits > 0 && g.uniform(0, 3) == 0) d.digits[0] = 0;
  if (g.uniform(0, 3) == 0) {
    int n = g.uniform(1, 3);
    for (int i = n; i < 16; i++) d.digits[i] = 0;
    d.ndigits = static_cast<int16_t>(n);
  }
  return d;
}

TEST(DecLiteral, EveryFieldAsTheLiteralAlgorithms) {
  DecGen g(kSeed + 9);
  for (int round = 0; round < kRounds; round++) {
    ba_decimal a = stress_operand(g, nullptr), b = stress_operand(g, &a), got, want;
    if (a.positive < 0 || b.positive < 0) continue;
    if (g.uniform(0, 2) == 0 && b.ndigits > 0 && ba_deczero(&b) == 0) ba_decmul(&b, &a, &a);  // exact quotients
    bool same = a.positive == b.positive;
    const ba_decimal &pos = a.positive == 1 ? a : b, &neg = a.positive == 1 ? b : a;
    for (bool subtract : {false, true}) {
      // Mixed signs: an addition subtracts the negative operand from the positive one, a
      // subtraction adds the magnitudes with the sign of a.
      int rc = !subtract ? (same ? literal_addsub(a, b, false, &want) : literal_addsub(pos, neg, true, &want))
                         : literal_addsub(a, b, same, &want);
      memset(&got, 0x5a, sizeof got);
      ASSERT_EQ(subtract ? ba_decsub(&a, &b, &got) : ba_decadd(&a, &b, &got), rc) << fields(a) << " " << fields(b);
      if (rc == 0) {
        ASSERT_EQ(memcmp(&got, &want, sizeof got), 0)
            << (subtract ? "sub " : "add ") << fields(a) << " " << fields(b) << " got " << fields(got);
      }
    }
    if (ba_deczero(&b) == 1) continue;
    memset(&got, 0x5a, sizeof got);
    int rc = literal_div(a, b, &want);
    ASSERT_EQ(ba_decdiv(&a, &b, &got), rc) << fields(a) << " / " << fields(b);
    if (rc == 0) {
      ASSERT_EQ(memcmp(&got, &want, sizeof got), 0) << fields(a) << " / " << fields(b) << " got " << fields(got);
    }
  }
}

}  // namespace
