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
//      Sums and differences are therefore exact before the result is cut to 16 digits. Only
//      the window between the operands' highest and lowest positions is worked on, eight
//      positions at a time.
//  (3) A result is stored only after the operands have been read in full and only on success,
//      so a result may be the same object as an operand, and a failed operation leaves it
//      untouched.
#include "ba/ba_dec.h"

#include <algorithm>
#include <bit>
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

bool all_digits_zero(const ba_decimal &d) {
  for (int i = 0; i < d.ndigits; i++)
    if (d.digits[i] != 0) return false;
  return true;
}

// ---- The aligned window -------------------------------------------------------------
//
// The positions between the operands' highest and lowest digits (and one above for the
// carry of an addition) as little-endian 8-byte words: byte j of the window holds position
// bottom - 1 - j, so the low bytes of a word are the less significant positions. Words are
// computed in registers from each operand's digits and stored whole.

using u128 = unsigned __int128;
constexpr int WIN_WORDS = (ALIGN_LEN + 7) / 8;
constexpr uint64_t BYTE_ONES = 0x0101010101010101ULL;
constexpr uint64_t BIAS = 156 * BYTE_ONES;  // 256 - 100 in every byte
static_assert(std::endian::native == std::endian::little, "digit bytes load as little-endian words");

// The digits of d as a number whose byte m holds digit 15 - m (digit 0 in the top byte);
// digits from ndigits on count as 0 whatever the decimal holds there.
u128 reversed_digits(const ba_decimal &d) {
  if (d.ndigits == 0) return 0;
  uint64_t hi, lo;
  memcpy(&hi, d.digits, sizeof hi);
  memcpy(&lo, d.digits + 8, sizeof lo);
  u128 r = (static_cast<u128>(__builtin_bswap64(hi)) << 64) | __builtin_bswap64(lo);
  int drop = 8 * (DEC_MAXDIGITS - d.ndigits);
  return drop == 0 ? r : r >> drop << drop;
}

constexpr int WIN_PAD = 2;  // zero words below and above the result words

// An operand in the window: its digits occupy three consecutive window words from word q;
// g holds them between two zero words, and every other word of the operand is 0.
struct opwords {
  uint64_t g[5];
  int q;
};

// Window word k of an operand (selected without a branch: indexes outside clamp to a zero).
uint64_t word(const opwords &o, int k) { return o.g[std::clamp(k - o.q + 1, 0, 4)]; }

// The window: byte j holds position bottom - 1 - j, so byte m of the reversed digits of an
// operand goes to window byte m + off. Result word k is w[WIN_PAD + k], with zero words
// around it so that the 16 bytes of the result can be taken without bounds tests.
struct window {
  int bottom;  // one past the lowest position
  int words;
  opwords x, y;
  uint64_t w[WIN_WORDS + 2 * WIN_PAD];
};

opwords place(const ba_decimal &d, int bottom) {
  u128 r = reversed_digits(d);
  int off = bottom - first_pos(d) - DEC_MAXDIGITS;  // >= -16
  int s = 8 * (off & 7);
  auto lo = static_cast<uint64_t>(r), hi = static_cast<uint64_t>(r >> 64);
  // (x >> 1) >> (63 - s) is x >> (64 - s) without a shift by 64 when s is 0.
  return {{0, lo << s, (hi << s) | ((lo >> 1) >> (63 - s)), (hi >> 1) >> (63 - s), 0}, off >> 3};
}

void open_window(const ba_decimal &x, const ba_decimal &y, window *win) {
  int top = std::min(first_pos(x), first_pos(y)) - 1;  // >= 0 for valid decimals
  win->bottom = std::max(end_pos(x), end_pos(y));      // <= ALIGN_LEN - 1
  win->words = (win->bottom - top + 7) / 8;
  win->x = place(x, win->bottom);
  win->y = place(y, win->bottom);
  uint64_t *w = win->w + WIN_PAD;
  w[-2] = w[-1] = w[win->words] = w[win->words + 1] = 0;
}

// Compares |x| and |y| from the most significant position.
int compare_window(const window &win) {
  for (int k = win.words - 1; k >= 0; k--) {
    uint64_t a = word(win.x, k), b = word(win.y, k);
    if (a != b) return a > b ? 1 : -1;
  }
  return 0;
}

// x + y, eight base-100 positions per step. With the bias, a byte sum of 100 or more
// overflows into the next byte exactly as a base-100 carry; bytes that did not carry get
// the bias back out (they hold at least 156, so no borrow crosses bytes).
void add_words(window *win) {
  uint64_t carry = 0;
  for (int k = 0; k < win->words; k++) {
    uint64_t s = word(win->x, k) + BIAS, b = word(win->y, k);
    uint64_t t = s + b;
    uint64_t c1 = t < s;
    uint64_t r = t + carry;
    uint64_t c2 = r < t;
    uint64_t carries_in = r ^ s ^ b ^ carry;  // bit 8i: carry into byte i
    uint64_t carried = ((carries_in >> 8) & (BYTE_ONES >> 8)) | ((c1 | c2) << 56);
    win->w[WIN_PAD + k] = r - 156 * (BYTE_ONES & ~carried);
    carry = c1 | c2;
  }
}

// x - y (|x| >= |y|; x and y are the operand words of win), eight positions per step. A byte that borrows wraps to 256 more than its
// difference and gets 156 taken off, leaving the base-100 digit.
void sub_words(window *win, const opwords &x, const opwords &y) {
  uint64_t borrow = 0;
  for (int k = 0; k < win->words; k++) {
    uint64_t a = word(x, k), b = word(y, k);
    uint64_t t = a - b;
    uint64_t b1 = a < b;
    uint64_t r = t - borrow;
    uint64_t b2 = t < borrow;
    uint64_t borrows_in = r ^ a ^ b;  // bit 8i: borrow into byte i (bit 0: the word's borrow)
    uint64_t borrowed = ((borrows_in >> 8) & (BYTE_ONES >> 8)) | ((b1 | b2) << 56);
    win->w[WIN_PAD + k] = r - 156 * (BYTE_ONES & borrowed);
    borrow = b1 | b2;
  }
}

// Bytes low .. low + 15 of the result, low >= -15 (bytes outside the window are 0).
u128 result_bytes(const window &win, int low) {
  const uint64_t *q = win.w + WIN_PAD + (low >> 3);  // within the zero padding
  int s = 8 * (low & 7);
  // (x << 1) << (63 - s) is x << (64 - s) without a shift by 64 when s is 0.
  uint64_t lo = (q[0] >> s) | ((q[1] << 1) << (63 - s));
  uint64_t hi = (q[1] >> s) | ((q[2] << 1) << (63 - s));
  return (static_cast<u128>(hi) << 64) | lo;
}

int trailing_zero_bytes(u128 v) {
  auto lo = static_cast<uint64_t>(v), hi = static_cast<uint64_t>(v >> 64);
  return lo != 0 ? __builtin_ctzll(lo) / 8 : 8 + __builtin_ctzll(hi) / 8;
}

// Stores the result: digits from the first non-zero position (but never starting below
// position 199, the first digit of exponent -99: a smaller result keeps leading zero digits
// instead of leaving the exponent range), at most 16 of them, trailing zeros not counted.
// An all-zero window gives a zero without digits. DEC_INVALID beyond exponent 99.
int collect(const window &win, int sign, ba_decimal *result) {
  const uint64_t *w = win.w + WIN_PAD;
  int k = win.words - 1;
  while (k >= 0 && w[k] == 0) k--;
  if (k < 0) {
    *result = cleared_decimal();
    result->positive = static_cast<int16_t>(sign);
    return DEC_OK;
  }
  int j = 8 * k + (63 - __builtin_clzll(w[k])) / 8;
  int p = std::min(win.bottom - 1 - j, ALIGN_LOWEST);
  if (ALIGN_BASE - p > EXP_MAX) return DEC_INVALID;
  j = win.bottom - 1 - p;
  u128 v = result_bytes(win, j - (DEC_MAXDIGITS - 1));  // digit n is byte 15 - n
  uint64_t first8 = __builtin_bswap64(static_cast<uint64_t>(v >> 64));
  uint64_t last8 = __builtin_bswap64(static_cast<uint64_t>(v));
  result->exponent = static_cast<int16_t>(ALIGN_BASE - p);
  result->positive = static_cast<int16_t>(sign);
  result->ndigits = static_cast<int16_t>(DEC_MAXDIGITS - trailing_zero_bytes(v));
  memcpy(result->digits, &first8, sizeof first8);
  memcpy(result->digits + 8, &last8, sizeof last8);
  return DEC_OK;
}

// |x| + |y|, the result with the sign field rsign.
int add_magnitudes(const ba_decimal &x, const ba_decimal &y, int rsign, ba_decimal *result) {
  window win;
  open_window(x, y, &win);
  add_words(&win);
  return collect(win, rsign, result);
}

// |x| - |y| with the sign field of x when |x| >= |y|, otherwise |y| - |x| with the opposite.
int sub_magnitudes(const ba_decimal &x, const ba_decimal &y, ba_decimal *result) {
  window win;
  open_window(x, y, &win);
  int sign = x.positive;
  if (compare_window(win) >= 0) {
    sub_words(&win, win.x, win.y);
  } else {
    sub_words(&win, win.y, win.x);
    sign = 1 - sign;
  }
  return collect(win, sign, result);
}

int compare_magnitudes(const ba_decimal &x, const ba_decimal &y) {
  window win;
  open_window(x, y, &win);
  return compare_window(win);
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
    return a->positive == SIGN_POS ? sub_magnitudes(*a, *b, result) : sub_magnitudes(*b, *a, result);
  }
  return add_magnitudes(*a, *b, a->positive, result);
}

int ba_decsub(const ba_decimal *a, const ba_decimal *b, ba_decimal *result) {
  if (int c = check_operands(a, b, result); c != 0) return c < 0 ? c : DEC_OK;
  if (a->positive != b->positive) return add_magnitudes(*a, *b, a->positive, result);  // |a| + |b|
  // Equal signs: the smaller magnitude from the larger; the sign of a when |a| >= |b|.
  return sub_magnitudes(*a, *b, result);
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
