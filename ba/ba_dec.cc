// ba_dec: base-100 decimal arithmetic: validity and zero tests, comparison, addition,
// subtraction, multiplication, division, rounding, truncation and scale; the integer text
// conversion ba_atoint of the system services, which is built on the decimals.
//
// Entry points: ba_decvalid, ba_deczero, ba_deccomp, ba_decadd, ba_decsub, ba_decmul,
// ba_decdiv, ba_decround, ba_dectrunc, ba_decscale, ba_decdump, ba_atoint.
// See also: ba_decconv (conversions from and to integers, floating values and text),
// ad_check (packed decimals in rows), ba_pipe (decimals on the byte channel).
//
// Invariants:
//  (1) digits[i] is read only for i < ndigits and only after ba_decvalid passed, so never
//      beyond the 16 digits, whatever an invalid decimal holds.
//  (2) Aligned positions: position p stands for 100^(99 - p); digit i of a decimal sits at
//      position 100 - exponent + i. The digits of a valid decimal lie in positions 1..214
//      (exponent 99 starts at 1; exponent -99 with 16 digits ends at 214), so the aligned
//      array has ALIGN_LEN = 216 positions: the 200 of the exponent range and 16 below them.
//      Sums and differences are therefore exact before the result is cut to 16 digits.
//  (3) Results are built in a local decimal and stored only on success, so a result may be
//      the same object as an operand, and a failed operation leaves it untouched.
#include "ba/ba_dec.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ba/ba_decint.h"
#include "ba/ba_sys.h"

using namespace decint;

namespace {

constexpr int ALIGN_BASE = 100;   // digit i of a decimal sits at ALIGN_BASE - exponent + i
constexpr int ALIGN_LOWEST = 199; // position of the first digit of exponent -99
constexpr int ALIGN_LEN = 216;    // positions 0..215; see invariant (2)
constexpr int PROD_LEN = 32;      // base-100 positions of a product of two 16-digit numbers
constexpr int QUOT_ZEROS = 16;    // division stops after appending this many zeros

int first_pos(const ba_decimal &d) { return ALIGN_BASE - d.exponent; }
int end_pos(const ba_decimal &d) { return ALIGN_BASE - d.exponent + d.ndigits; }

// The digit of d at aligned position p; 0 outside its digits.
int digit_at(const ba_decimal &d, int p) {
  int i = p - first_pos(d);
  return (i >= 0 && i < d.ndigits) ? d.digits[i] : 0;
}

bool all_digits_zero(const ba_decimal &d) {
  for (int i = 0; i < d.ndigits; i++)
    if (d.digits[i] != 0) return false;
  return true;
}

// Compares |a| and |b| position by position from the most significant one.
int compare_magnitudes(const ba_decimal &a, const ba_decimal &b) {
  int top = std::min(first_pos(a), first_pos(b));
  int bottom = std::max(end_pos(a), end_pos(b));
  for (int p = top; p < bottom; p++) {
    int x = digit_at(a, p), y = digit_at(b, p);
    if (x != y) return x > y ? 1 : -1;
  }
  return 0;
}

// A window of the aligned array: w[k] holds position top + k. One position above the
// operands' highest digit takes the carry of an addition.
struct aligned {
  int top;
  int len;
  int w[ALIGN_LEN];
};

void open_window(const ba_decimal &a, const ba_decimal &b, aligned *al) {
  int top = std::min(first_pos(a), first_pos(b)) - 1;  // >= 0 for valid decimals
  int bottom = std::max(end_pos(a), end_pos(b));        // <= ALIGN_LEN - 1
  al->top = top;
  al->len = bottom - top;
  for (int k = 0; k < al->len; k++) al->w[k] = 0;
}

// Adds sign * the digits of d into the window.
void place(const ba_decimal &d, int sign, aligned *al) {
  int off = first_pos(d) - al->top;
  for (int i = 0; i < d.ndigits; i++) al->w[off + i] += sign * d.digits[i];
}

// Brings every position into 0..99 with carries and borrows toward position 0. Branch-free:
// a position of a sum or difference lies in -100..199, so one step of 100 settles it.
void normalise(aligned *al) {
  int c = 0;
  for (int k = al->len - 1; k >= 0; k--) {
    int v = al->w[k] + c;
    c = (v >= 100) - (v < 0);
    al->w[k] = v - 100 * c;
  }
}

// The result of an aligned sum or difference: digits from the first non-zero position (but
// never starting below position 199, the first digit of exponent -99: a smaller result keeps
// leading zero digits instead of leaving the exponent range), at most 16 of them, trailing
// zeros not counted. An all-zero window gives a zero without digits.
ba_decimal collect(const aligned &al, int sign) {
  ba_decimal r = cleared_decimal();
  r.positive = static_cast<int16_t>(sign);
  int k = 0;
  while (k < al.len && al.w[k] == 0) k++;
  if (k == al.len) return r;
  int p = al.top + k;
  if (p > ALIGN_LOWEST) {
    p = ALIGN_LOWEST;
    k = p - al.top;
  }
  int n = 0;
  for (; n < DEC_MAXDIGITS && k + n < al.len; n++) r.digits[n] = static_cast<uint8_t>(al.w[k + n]);
  while (n > 0 && r.digits[n - 1] == 0) n--;
  for (int i = n; i < DEC_MAXDIGITS; i++) r.digits[i] = 0;
  r.ndigits = static_cast<int16_t>(n);
  r.exponent = static_cast<int16_t>(ALIGN_BASE - p);
  return r;
}

// |a| + |b| (sign > 0) or |a| - |b| (sign < 0, requires |a| >= |b|), the result with the
// sign field rsign. A result beyond exponent 99 is DEC_INVALID.
int combine(const ba_decimal &a, const ba_decimal &b, int sign, int rsign, ba_decimal *result) {
  aligned al;
  open_window(a, b, &al);
  place(a, 1, &al);
  place(b, sign, &al);
  normalise(&al);
  ba_decimal r = collect(al, rsign);
  if (!ba_decvalid(&r)) return DEC_INVALID;
  *result = r;
  return DEC_OK;
}

// Checks two operands: DEC_INVALID, or 1 when either is null (the result becomes null), or 0.
int check_operands(const ba_decimal *a, const ba_decimal *b, ba_decimal *result) {
  if (!ba_decvalid(a) || !ba_decvalid(b)) return DEC_INVALID;
  if (is_null(*a) || is_null(*b)) {
    *result = null_decimal();
    return 1;
  }
  return 0;
}

ba_decimal magnitude(const ba_decimal &d) {
  ba_decimal m = d;
  m.positive = SIGN_POS;
  return m;
}

int product_sign(const ba_decimal &a, const ba_decimal &b) {
  return a.positive == b.positive ? SIGN_POS : SIGN_NEG;
}

// ---- Multiplication and division helpers ---------------------------------------------

constexpr int LIMBS = 4;                   // a 16-digit operand as 4 limbs of 4 digits
constexpr uint64_t LIMB_BASE = 100000000;  // 100^4

// The digits of d as an integer in base 10^8, most significant limb first.
void to_limbs(const ba_decimal &d, uint64_t limb[LIMBS]) {
  uint8_t pad[DEC_MAXDIGITS] = {};
  memcpy(pad + DEC_MAXDIGITS - d.ndigits, d.digits, d.ndigits);
  for (int j = 0; j < LIMBS; j++) {
    const uint8_t *p = pad + 4 * j;
    limb[j] = ((p[0] * 100ULL + p[1]) * 100 + p[2]) * 100 + p[3];
  }
}

// The integer product of the digit sequences: PROD_LEN base-100 positions, most significant
// first. Computed in base 10^8 limbs (each column sums at most 4 products below 10^16, well
// inside 64 bits) and split into base-100 digits; the same integer as the schoolbook product
// of the base-100 digits.
void multiply_digits(const ba_decimal &a, const ba_decimal &b, int prod[PROD_LEN]) {
  uint64_t la[LIMBS], lb[LIMBS], acc[2 * LIMBS] = {};
  to_limbs(a, la);
  to_limbs(b, lb);
  for (int i = 0; i < LIMBS; i++)
    for (int j = 0; j < LIMBS; j++) acc[i + j + 1] += la[i] * lb[j];
  for (int k = 2 * LIMBS - 1; k > 0; k--) {
    acc[k - 1] += acc[k] / LIMB_BASE;
    acc[k] %= LIMB_BASE;
  }
  for (int k = 0; k < 2 * LIMBS; k++) {
    auto v = static_cast<uint32_t>(acc[k]);
    prod[4 * k] = static_cast<int>(v / 1000000);
    prod[4 * k + 1] = static_cast<int>(v / 10000 % 100);
    prod[4 * k + 2] = static_cast<int>(v / 100 % 100);
    prod[4 * k + 3] = static_cast<int>(v % 100);
  }
}

using wide = unsigned __int128;  // a 16-digit base-100 integer times 100 needs 113 bits

// The long division of the dividend digits by the divisor, one base-100 quotient digit per
// step. Fills q with the first 16 quotient digits; returns the number of quotient digits and
// adds the appended zeros to *f.
int long_divide(const uint8_t *ad, int la, wide divisor, int lb, uint8_t q[DEC_MAXDIGITS], int *f) {
  int m = std::min(lb, la);
  wide rem = 0;
  for (int i = 0; i < m; i++) rem = rem * 100 + ad[i];
  int next = m, nq = 0, zeros = 0;
  for (;;) {
    // The count of subtractions of the divisor: below 100 because rem < 100 * divisor.
    auto digit = static_cast<unsigned>(rem / divisor);
    rem -= static_cast<wide>(digit) * divisor;
    if (nq < DEC_MAXDIGITS) q[nq] = static_cast<uint8_t>(digit);
    nq++;
    if (next < la) {
      rem = rem * 100 + ad[next++];
    } else {
      rem *= 100;
      (*f)++;
      zeros++;
    }
    if (zeros == QUOT_ZEROS || (rem == 0 && next >= la)) return nq;
  }
}

// Brings the quotient digits to a non-negative exponent: a negative exponent shifts the
// digits right (the digits that fall off the 16th place are lost); otherwise leading zero
// digits are removed, at most 15 and at most exponent of them. Shifting right extends
// ndigits so that no significant digit is hidden behind it.
void place_quotient(ba_decimal *r, int exponent) {
  uint8_t *d = r->digits;
  if (exponent < 0) {
    int s = std::min(-exponent, DEC_MAXDIGITS);
    memmove(d + s, d, DEC_MAXDIGITS - s);
    memset(d, 0, s);
    r->ndigits = static_cast<int16_t>(std::min(r->ndigits + s, DEC_MAXDIGITS));
    exponent = 0;
  } else {
    int k = 0;
    while (k < DEC_MAXDIGITS - 1 && k < exponent && d[k] == 0) k++;
    memmove(d, d + k, DEC_MAXDIGITS - k);
    memset(d + DEC_MAXDIGITS - k, 0, k);
    exponent -= k;
  }
  r->exponent = static_cast<int16_t>(std::clamp(exponent, INT16_MIN, INT16_MAX));
}

// ---- Rounding helpers ------------------------------------------------------------------

constexpr int DEC_MAXDECIMAL = 2 * DEC_MAXDIGITS;  // decimal digits of 16 pairs

// Shared by rounding and truncation: keeps k = places + 2 * exponent decimal digits.
void cut_to_places(ba_decimal *d, int places, bool round) {
  if (!ba_decvalid(d) || is_null(*d)) return;
  int ndec = 2 * d->ndigits;
  long k = static_cast<long>(places) + 2L * d->exponent;
  if (k >= ndec) return;
  int exponent = d->exponent;
  if (k < 0) {
    // Rounding or truncating to fewer places than the integer part allows
    // (places + 2 * exponent < 0): the value lies below a tenth of the unit rounded to,
    // so both give zero (no digits, exponent and sign kept).
    memset(d->digits, 0, sizeof d->digits);
    d->ndigits = 0;
    return;
  }
  int dd[DEC_MAXDECIMAL];
  for (int i = 0; i < d->ndigits; i++) {
    dd[2 * i] = d->digits[i] / 10;
    dd[2 * i + 1] = d->digits[i] % 10;
  }
  int kept = static_cast<int>(k);
  if (round && dd[kept] >= 5) {
    int j = kept - 1;
    while (j >= 0 && dd[j] == 9) dd[j--] = 0;
    if (j >= 0) {
      dd[j]++;
    } else {  // carry out of the first digit: the number becomes one base-100 digit 1
      dd[0] = 0;
      dd[1] = 1;
      kept = 2;
      exponent++;
    }
  }
  int pairs = (kept + 1) / 2;
  memset(d->digits, 0, sizeof d->digits);
  for (int i = 0; i < pairs; i++)
    d->digits[i] = static_cast<uint8_t>(dd[2 * i] * 10 + (2 * i + 1 < kept ? dd[2 * i + 1] : 0));
  d->ndigits = static_cast<int16_t>(pairs);
  d->exponent = static_cast<int16_t>(exponent);
}

}  // namespace

// ---- Tests and comparison ------------------------------------------------------------

int ba_decvalid(const ba_decimal *d) {
  if (d->positive == SIGN_NULL) return 1;
  return d->exponent >= EXP_MIN && d->exponent <= EXP_MAX && d->positive >= SIGN_NULL &&
         d->positive <= SIGN_POS && d->ndigits >= 0 && d->ndigits <= DEC_MAXDIGITS;
}

int ba_deczero(const ba_decimal *d) {
  if (!ba_decvalid(d) || is_null(*d)) return -1;
  return all_digits_zero(*d) ? 1 : 0;
}

int ba_deccomp(const ba_decimal *a, const ba_decimal *b) {
  if (!ba_decvalid(a) || !ba_decvalid(b)) return DEC_INVALID;
  if (is_null(*a) || is_null(*b)) return DEC_RANGE;
  if (a->positive == b->positive) {
    int c = compare_magnitudes(*a, *b);
    return a->positive == SIGN_POS ? c : -c;
  }
  if (all_digits_zero(*a) && all_digits_zero(*b)) return 0;
  return a->positive == SIGN_POS ? 1 : -1;
}

// ---- The four operations ---------------------------------------------------------------

int ba_decadd(const ba_decimal *a, const ba_decimal *b, ba_decimal *result) {
  if (int c = check_operands(a, b, result); c != 0) return c < 0 ? c : DEC_OK;
  if (a->positive != b->positive) {
    // The negative operand, made positive, is subtracted from the positive one.
    const ba_decimal &pos = a->positive == SIGN_POS ? *a : *b;
    ba_decimal neg = magnitude(a->positive == SIGN_POS ? *b : *a);
    return ba_decsub(&pos, &neg, result);
  }
  return combine(*a, *b, 1, a->positive, result);
}

int ba_decsub(const ba_decimal *a, const ba_decimal *b, ba_decimal *result) {
  if (int c = check_operands(a, b, result); c != 0) return c < 0 ? c : DEC_OK;
  if (a->positive != b->positive) {
    ba_decimal ma = magnitude(*a), mb = magnitude(*b);
    int sign = a->positive;
    ba_decimal sum;
    int rc = ba_decadd(&ma, &mb, &sum);
    if (rc != DEC_OK) return rc;
    sum.positive = static_cast<int16_t>(sign);
    *result = sum;
    return DEC_OK;
  }
  // Equal signs: the smaller magnitude from the larger; the sign of a when |a| >= |b|.
  if (compare_magnitudes(*a, *b) >= 0) return combine(*a, *b, -1, a->positive, result);
  return combine(*b, *a, -1, 1 - a->positive, result);
}

int ba_decmul(const ba_decimal *a, const ba_decimal *b, ba_decimal *result) {
  if (int c = check_operands(a, b, result); c != 0) return c < 0 ? c : DEC_OK;
  int prod[PROD_LEN];
  multiply_digits(*a, *b, prod);
  int frac = (a->ndigits - a->exponent) + (b->ndigits - b->exponent);
  // Leading zero positions go, but never more than 31 and never into the fraction part.
  int lead = 0;
  while (lead < PROD_LEN - 1 && prod[lead] == 0 && PROD_LEN - lead > frac) lead++;
  int remaining = PROD_LEN - lead;
  ba_decimal r = cleared_decimal();
  r.ndigits = static_cast<int16_t>(std::min(remaining, DEC_MAXDIGITS));
  for (int i = 0; i < r.ndigits; i++) r.digits[i] = static_cast<uint8_t>(prod[lead + i]);
  int exponent = remaining - frac;
  if (exponent < EXP_MIN || exponent > EXP_MAX) return DEC_INVALID;
  r.exponent = static_cast<int16_t>(exponent);
  r.positive = static_cast<int16_t>(product_sign(*a, *b));
  *result = r;
  return DEC_OK;
}

int ba_decdiv(const ba_decimal *a, const ba_decimal *b, ba_decimal *result) {
  if (!ba_decvalid(a) || !ba_decvalid(b)) return DEC_INVALID;
  if (is_null(*a) || is_null(*b)) {
    *result = null_decimal();
    return DEC_OK;
  }
  if (all_digits_zero(*b)) return DEC_DIVZERO;
  // Dividend without leading zero digits (at least one kept; no digits count as one 0);
  // divisor without leading zero digits, so that every quotient digit stays below 100.
  static const uint8_t zero_digit[1] = {0};
  int ai = 0;
  while (ai < a->ndigits - 1 && a->digits[ai] == 0) ai++;
  const uint8_t *ad = a->ndigits > 0 ? a->digits + ai : zero_digit;
  int la = a->ndigits > 0 ? a->ndigits - ai : 1;
  int bi = 0;
  while (b->digits[bi] == 0) bi++;
  wide divisor = 0;
  for (int j = bi; j < b->ndigits; j++) divisor = divisor * 100 + b->digits[j];
  int f = (a->ndigits - a->exponent) - (b->ndigits - b->exponent);
  ba_decimal r = cleared_decimal();
  int nq = long_divide(ad, la, divisor, b->ndigits - bi, r.digits, &f);
  r.ndigits = static_cast<int16_t>(std::min(nq, DEC_MAXDIGITS));
  place_quotient(&r, nq - f + 1);
  r.positive = static_cast<int16_t>(product_sign(*a, *b));
  if (!ba_decvalid(&r)) return DEC_INVALID;
  *result = r;
  return DEC_OK;
}

// ---- Rounding, truncation, scale -------------------------------------------------------

int ba_decround(ba_decimal *d, int places) {
  cut_to_places(d, places, true);
  return DEC_OK;
}

int ba_dectrunc(ba_decimal *d, int places) {
  cut_to_places(d, places, false);
  return DEC_OK;
}

int ba_decscale(const ba_decimal *d) {
  if (!ba_decvalid(d)) return DEC_INVALID;
  if (is_null(*d) || d->ndigits <= d->exponent) return 0;
  int fpairs = d->exponent < 0 ? d->ndigits : d->ndigits - d->exponent;
  int scale = 2 * fpairs;
  // Trailing decimal zeros, counted only within the fraction pairs.
  int i = d->ndigits - 1;
  for (; i >= d->ndigits - fpairs; i--) {
    if (d->digits[i] != 0) {
      if (d->digits[i] % 10 == 0) scale--;
      break;
    }
    scale -= 2;
  }
  // All fraction pairs zero: the value needs no places at all.
  if (i < d->ndigits - fpairs) return 0;
  if (d->exponent < 0) scale += 2 * -d->exponent;
  return scale;
}

void ba_decdump(const ba_decimal *d) {
  printf("Exponent %d\n", d->exponent);
  printf("positiv %d\n", d->positive);
  printf("Digits %d\n", d->ndigits);
  for (int i = 0; i < DEC_MAXDIGITS; i++) printf("%02d ", d->digits[i]);
  printf("\n");
}

// ---- System service on decimals --------------------------------------------------------

int ba_atoint(const char *text, int *value) {
  ba_decimal d;
  if (text == nullptr || ba_str2dec(text, INT_MAX, &d) != DEC_OK || is_null(d)) return -1;
  int v;
  if (ba_dec2long(&d, &v) != DEC_OK) return -1;
  *value = v;
  return 0;
}
