// ba_dec: base-100 decimal arithmetic: validity and zero tests, comparison, addition,
// subtraction, multiplication, division, rounding, truncation and scale; the integer text
// conversion ba_atoint of the system services, which is built on the decimals.
//
// Entry points: ba_decvalid, ba_deczero, ba_deccomp, ba_decadd, ba_decsub, ba_decmul,
// ba_decdiv, ba_decround, ba_dectrunc, ba_decscale, ba_decdump, ba_atoint.
// See also: ba_decconv (conversions from and to integers, floating values and text),
// ad_dump (packed decimals in rows), ba_pipe (decimals on the byte channel).
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
//      positions at a time; operands that start at most 15 positions apart are worked on in
//      four words held in registers, with the same word steps and the same collection.
//  (3) A result is stored only after the operands have been read in full and only on success,
//      so a result may be the same object as an operand, and a failed operation leaves it
//      untouched.
//  (4) Division follows the digit-by-digit long division exactly (the quotient digits, the
//      count of steps and the stop), but takes up to seven quotient digits per step: a step
//      estimates its quotient with a floating reciprocal and corrects it exactly in 128-bit
//      integers (see long_divide and divide_step).
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

// One word of x + y: eight base-100 positions. With the bias, a byte sum of 100 or more
// overflows into the next byte exactly as a base-100 carry; bytes that did not carry get the
// bias back out (they hold at least 156, so no borrow crosses bytes). *carry is the carry into
// the word's lowest byte and becomes the carry out of its highest.
uint64_t add_word(uint64_t a, uint64_t b, uint64_t *carry) {
  uint64_t s = a + BIAS;
  uint64_t t = s + b;
  uint64_t c1 = t < s;
  uint64_t r = t + *carry;
  uint64_t c2 = r < t;
  uint64_t carries_in = r ^ s ^ b ^ *carry;  // bit 8i: carry into byte i
  uint64_t carried = ((carries_in >> 8) & (BYTE_ONES >> 8)) | ((c1 | c2) << 56);
  *carry = c1 | c2;
  return r - 156 * (BYTE_ONES & ~carried);
}

// One word of a - b (the borrow likewise). A byte that borrows wraps to 256 more than its
// difference and gets 156 taken off, leaving the base-100 digit.
uint64_t sub_word(uint64_t a, uint64_t b, uint64_t *borrow) {
  uint64_t t = a - b;
  uint64_t b1 = a < b;
  uint64_t r = t - *borrow;
  uint64_t b2 = t < *borrow;
  uint64_t borrows_in = r ^ a ^ b;  // bit 8i: borrow into byte i (bit 0: the word's borrow)
  uint64_t borrowed = ((borrows_in >> 8) & (BYTE_ONES >> 8)) | ((b1 | b2) << 56);
  *borrow = b1 | b2;
  return r - 156 * (BYTE_ONES & borrowed);
}

// x + y over the window.
void add_words(window *win) {
  uint64_t carry = 0;
  for (int k = 0; k < win->words; k++)
    win->w[WIN_PAD + k] = add_word(word(win->x, k), word(win->y, k), &carry);
}

// x - y over the window (|x| >= |y|; x and y are the operand words of win).
void sub_words(window *win, const opwords &x, const opwords &y) {
  uint64_t borrow = 0;
  for (int k = 0; k < win->words; k++)
    win->w[WIN_PAD + k] = sub_word(word(x, k), word(y, k), &borrow);
}

// Bytes low .. low + 15 of the words w, low >= -15 (WIN_PAD zero words on either side).
u128 result_bytes(const uint64_t *w, int low) {
  const uint64_t *q = w + (low >> 3);  // within the zero padding
  int s = 8 * (low & 7);
  // (x << 1) << (63 - s) is x << (64 - s) without a shift by 64 when s is 0.
  uint64_t lo = (q[0] >> s) | ((q[1] << 1) << (63 - s));
  uint64_t hi = (q[1] >> s) | ((q[2] << 1) << (63 - s));
  return (static_cast<u128>(hi) << 64) | lo;
}

// Leading zero bytes of v (16 for 0).
int leading_zero_bytes(u128 v) {
  auto lo = static_cast<uint64_t>(v), hi = static_cast<uint64_t>(v >> 64);
  return hi != 0 ? __builtin_clzll(hi) / 8 : lo != 0 ? 8 + __builtin_clzll(lo) / 8 : 2 * 8;
}

int trailing_zero_bytes(u128 v) {
  auto lo = static_cast<uint64_t>(v), hi = static_cast<uint64_t>(v >> 64);
  return lo != 0 ? __builtin_ctzll(lo) / 8 : 8 + __builtin_ctzll(hi) / 8;
}

// Stores the result held in the words w (byte j standing for position bottom - 1 - j, with
// WIN_PAD zero words on either side): digits from the first non-zero position (but never
// starting below position 199, the first digit of exponent -99: a smaller result keeps leading
// zero digits instead of leaving the exponent range), at most 16 of them, trailing zeros not
// counted. An all-zero result gives a zero without digits. DEC_INVALID beyond exponent 99.
int collect(const uint64_t *w, int words, int bottom, int sign, ba_decimal *result) {
  int k = words - 1;
  while (k >= 0 && w[k] == 0) k--;
  if (k < 0) {
    *result = cleared_decimal();
    result->positive = static_cast<int16_t>(sign);
    return DEC_OK;
  }
  int j = 8 * k + (63 - __builtin_clzll(w[k])) / 8;
  int p = std::min(bottom - 1 - j, ALIGN_LOWEST);
  if (ALIGN_BASE - p > EXP_MAX) return DEC_INVALID;
  j = bottom - 1 - p;
  u128 v = result_bytes(w, j - (DEC_MAXDIGITS - 1));  // digit n is byte 15 - n
  uint64_t first8 = __builtin_bswap64(static_cast<uint64_t>(v >> 64));
  uint64_t last8 = __builtin_bswap64(static_cast<uint64_t>(v));
  result->exponent = static_cast<int16_t>(ALIGN_BASE - p);
  result->positive = static_cast<int16_t>(sign);
  result->ndigits = static_cast<int16_t>(DEC_MAXDIGITS - trailing_zero_bytes(v));
  memcpy(result->digits, &first8, sizeof first8);
  memcpy(result->digits + 8, &last8, sizeof last8);
  return DEC_OK;
}

// ---- Operands that lie close together ----------------------------------------------------
//
// Most sums have operands whose digits overlap or lie close together. When the lower operand
// starts at most NEAR_SHIFT positions below the higher one, both operands and the carry
// position fit into 32 bytes, which are worked on in four words held in registers; the result
// is the same as through the window (same word steps, same collection).

constexpr int NEAR_WORDS = 4;
constexpr int NEAR_SHIFT = 15;  // the higher operand's 16 bytes end at byte 30; 31 takes the carry

struct nearpair {
  uint64_t x[NEAR_WORDS], y[NEAR_WORDS];
  int bottom;  // byte j stands for position bottom - 1 - j
};

// The 16 digit bytes of r (byte m holding digit 15 - m) moved up by s (0..15) bytes.
void spread(u128 r, int s, uint64_t w[NEAR_WORDS]) {
  auto lo = static_cast<uint64_t>(r), hi = static_cast<uint64_t>(r >> 64);
  int b = 8 * (s & 7);
  uint64_t a0 = lo << b, a1 = (hi << b) | ((lo >> 1) >> (63 - b)), a2 = (hi >> 1) >> (63 - b);
  bool up = s >= 8;
  w[0] = up ? 0 : a0;
  w[1] = up ? a0 : a1;
  w[2] = up ? a1 : a2;
  w[3] = up ? a2 : 0;
}

// Places x and y for the near path; false when they lie too far apart.
bool place_near(const ba_decimal &x, const ba_decimal &y, nearpair *np) {
  int fx = first_pos(x), fy = first_pos(y);
  int lower = std::max(fx, fy);
  if (lower - std::min(fx, fy) > NEAR_SHIFT) return false;
  np->bottom = lower + DEC_MAXDIGITS;
  spread(reversed_digits(x), lower - fx, np->x);
  spread(reversed_digits(y), lower - fy, np->y);
  return true;
}

int compare_near(const nearpair &np) {
  for (int k = NEAR_WORDS - 1; k >= 0; k--)
    if (np.x[k] != np.y[k]) return np.x[k] > np.y[k] ? 1 : -1;
  return 0;
}

// |x| + |y|, the result with the sign field rsign.
int add_magnitudes(const ba_decimal &x, const ba_decimal &y, int rsign, ba_decimal *result) {
  nearpair np;
  if (place_near(x, y, &np)) {
    uint64_t w[NEAR_WORDS + 2 * WIN_PAD] = {};
    uint64_t carry = 0;  // none leaves byte 31, which both operands leave 0
    for (int k = 0; k < NEAR_WORDS; k++) w[WIN_PAD + k] = add_word(np.x[k], np.y[k], &carry);
    return collect(w + WIN_PAD, NEAR_WORDS, np.bottom, rsign, result);
  }
  window win;
  open_window(x, y, &win);
  add_words(&win);
  return collect(win.w + WIN_PAD, win.words, win.bottom, rsign, result);
}

// |x| - |y| with the sign field of x when |x| >= |y|, otherwise |y| - |x| with the opposite.
int sub_magnitudes(const ba_decimal &x, const ba_decimal &y, ba_decimal *result) {
  int sign = x.positive;
  nearpair np;
  if (place_near(x, y, &np)) {
    bool swap = compare_near(np) < 0;
    const uint64_t *a = swap ? np.y : np.x, *b = swap ? np.x : np.y;
    uint64_t w[NEAR_WORDS + 2 * WIN_PAD] = {};
    uint64_t borrow = 0;
    for (int k = 0; k < NEAR_WORDS; k++) w[WIN_PAD + k] = sub_word(a[k], b[k], &borrow);
    return collect(w + WIN_PAD, NEAR_WORDS, np.bottom, swap ? 1 - sign : sign, result);
  }
  window win;
  open_window(x, y, &win);
  if (compare_window(win) >= 0) {
    sub_words(&win, win.x, win.y);
  } else {
    sub_words(&win, win.y, win.x);
    sign = 1 - sign;
  }
  return collect(win.w + WIN_PAD, win.words, win.bottom, sign, result);
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

// n <= 16 base-100 digits as an integer in base 10^8, most significant limb first.
void to_limbs(const uint8_t *digits, int n, uint64_t limb[LIMBS]) {
  uint8_t pad[DEC_MAXDIGITS] = {};
  memcpy(pad + DEC_MAXDIGITS - n, digits, n);
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
  to_limbs(a.digits, a.ndigits, la);
  to_limbs(b.digits, b.ndigits, lb);
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

// ---- Division helpers -----------------------------------------------------------------

constexpr int CHUNK_MAX = 7;  // quotient digits per step: below 100^7 = 10^14, see divide_step
constexpr uint64_t POW100[CHUNK_MAX + 1] = {1,          100,           10000,          1000000,
                                            100000000,  10000000000,   1000000000000,  100000000000000};

// A decimal's digits in a zero-filled row, zeros after its ndigits too, with room to read 16
// bytes from any of the first 32 places.
struct digitrow {
  uint8_t d[48];
};

// r: the reversed digits of a decimal (reversed_digits).
void load_row(u128 r, digitrow *row) {
  memset(row->d, 0, sizeof row->d);
  uint64_t first8 = __builtin_bswap64(static_cast<uint64_t>(r >> 64));
  uint64_t last8 = __builtin_bswap64(static_cast<uint64_t>(r));
  memcpy(row->d, &first8, sizeof first8);
  memcpy(row->d + 8, &last8, sizeof last8);
}

// The integer of 8 base-100 digits, byte i holding the digit of weight 100^i: pairs, then
// quadruples, then the two halves, each step on all lanes at once (no lane overflows).
uint64_t eight_digits(uint64_t w) {
  constexpr uint64_t M8 = 0x00FF00FF00FF00FFULL, M16 = 0x0000FFFF0000FFFFULL;
  w = (w & M8) + ((w >> 8) & M8) * 100;
  w = (w & M16) + ((w >> 16) & M16) * 10000;
  return (w & 0xFFFFFFFFULL) + (w >> 32) * LIMB_BASE;
}

// The integer of the n (1..16) base-100 digits at p, most significant first.
// REQUIRES: 16 bytes readable at p.
u128 digits_value(const uint8_t *p, int n) {
  uint64_t w0, w1;
  memcpy(&w0, p, sizeof w0);
  memcpy(&w1, p + 8, sizeof w1);
  u128 v = static_cast<u128>(__builtin_bswap64(w0)) << 64 | __builtin_bswap64(w1);
  v >>= 8 * (DEC_MAXDIGITS - n);
  return static_cast<u128>(eight_digits(static_cast<uint64_t>(v >> 64))) * (LIMB_BASE * LIMB_BASE) +
         eight_digits(static_cast<uint64_t>(v));
}

double to_double(u128 v) {
  return static_cast<double>(static_cast<uint64_t>(v >> 64)) * 0x1p64 +
         static_cast<double>(static_cast<uint64_t>(v));
}

// A divisor of at most 16 base-100 digits (below 2^107) without leading zero digits, with its
// reciprocal for estimating quotients.
struct divisor {
  u128 value;
  double inverse;
};

// With x = *rem * mult + add: returns floor(x / d.value) and leaves x % d.value in *rem.
// REQUIRES: floor(x / d.value) < 10^14.
// The estimate from doubles is off by at most one: its relative error is a few times 2^-53 and
// the quotient lies below 10^14. x itself may exceed 128 bits, but x - q * d.value for that
// estimate lies in [-d.value, 2 * d.value), so computed modulo 2^128 and read as signed it is
// exact, and one correction makes q and the remainder exact.
uint64_t divide_step(u128 *rem, uint64_t mult, uint64_t add, const divisor &d) {
  // mult, add and the quotient lie below 2^63: converted as signed integers.
  double x = to_double(*rem) * static_cast<double>(static_cast<int64_t>(mult)) +
             static_cast<double>(static_cast<int64_t>(add));
  auto q = static_cast<uint64_t>(static_cast<int64_t>(x * d.inverse));
  auto r = static_cast<__int128>(*rem * mult + add - static_cast<u128>(q) * d.value);
  auto v = static_cast<__int128>(d.value);
  if (r < 0) {
    q--;
    r += v;
  } else if (r >= v) {
    q++;
    r -= v;
  }
  *rem = static_cast<u128>(r);
  return q;
}

// Adds the base-100 digits of v < 100^8 into the 8 places that end at last, most significant
// first. The places must hold zeros where v has digits; v's leading zero digits leave the
// places before them as they are. Two halves of four digits, each split without a chain of
// divisions.
void put_digits(uint64_t v, uint8_t *last) {
  uint64_t add = 0;  // byte i: digit i of the eight
  uint64_t half[2] = {v / LIMB_BASE, v % LIMB_BASE};
  for (int h = 0; h < 2; h++) {
    auto a = static_cast<uint32_t>(half[h] / 10000), b = static_cast<uint32_t>(half[h] % 10000);
    uint64_t four = (a / 100) | (a % 100) << 8 | (b / 100) << 16 | static_cast<uint64_t>(b % 100) << 24;
    add |= four << (32 * h);
  }
  uint64_t w;
  memcpy(&w, last - 7, sizeof w);
  w |= add;
  memcpy(last - 7, &w, sizeof w);
}

// The integer of the n (1..8) base-100 digits at p. REQUIRES: 8 bytes readable at p.
uint64_t short_value(const uint8_t *p, int n) {
  uint64_t w;
  memcpy(&w, p, sizeof w);
  return eight_digits(__builtin_bswap64(w) >> (8 * (8 - n)));
}

// The long division of the dividend digits ad[0..la) by the divisor (lb digits), as the digit
// steps define it: the remainder starts as the first m = min(lb, la) dividend digits; step t
// gives quotient digit t (the number of times the divisor goes into the remainder, below 100)
// and then appends dividend digit m + t, or a zero once the dividend is used up; the division
// stops after the 16th appended zero, or when the remainder is zero and no dividend digits are
// left.
//
// The steps are taken in runs: quotient digits t+1 .. t+k are the k-digit quotient of (the
// remainder after step t) * 100^k + the next k appended digits, exactly as k single steps
// would give them; the first run also gives digit 0. A stop inside a run is found afterwards:
// the remainder can become zero and stay zero only where every later appended digit and
// quotient digit is zero, so the stop is the earliest step of the run from which on the run
// holds nothing but zeros.
//
// Fills q with the first 16 quotient digits; returns the number of quotient digits and adds the
// appended zeros to *f.
// REQUIRES: ad points into a digitrow at one of its first 16 places; zeros follow ad[la - 1].
int long_divide(const uint8_t *ad, int la, const divisor &dv, int lb, uint8_t q[DEC_MAXDIGITS], int *f) {
  int m = std::min(lb, la);
  int last = la + QUOT_ZEROS - 1 - m;  // the step that appends the 16th zero
  // Whether the division stops after step t, given whether the remainder after it is zero.
  auto stops = [&](int t, bool zero) { return zero && m + t >= la - 1 && ad[m + t] == 0; };
  // Every quotient digit (at most last + 1 <= 31) from qd[0]; those after the stop stay 0.
  // The 7 places in front of qd take the leading zero digits of the first run.
  uint8_t qbuf[7 + DEC_MAXDIGITS + QUOT_ZEROS] = {};
  uint8_t *qd = qbuf + 7;
  u128 rem = digits_value(ad, m);
  int t = -1;  // the last step taken
  for (;;) {
    int from = std::max(t, 0);  // appended digits m + from ..
    int k = std::min(t < 0 ? CHUNK_MAX - 1 : CHUNK_MAX, last - from);
    uint64_t next = short_value(ad + m + from, k);  // the k appended digits
    int end = from + k;
    put_digits(divide_step(&rem, POW100[k], next, dv), qd + end);
    if (stops(end, rem == 0)) {
      while (end - 1 > t && qd[end] == 0 && stops(end - 1, true)) end--;
      t = end;
      break;
    }
    t = end;
    if (t == last) break;
  }
  memcpy(q, qd, DEC_MAXDIGITS);
  *f += std::max(m + t + 1 - la, 0);
  return t + 1;
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
    if (k > 0) {
      memmove(d, d + k, DEC_MAXDIGITS - k);
      memset(d + DEC_MAXDIGITS - k, 0, k);
      exponent -= k;
    }
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
  int dd[DEC_MAXDECIMAL] = {};  // digits 0 .. ndec - 1 are set below; k < ndec
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
  u128 ra = reversed_digits(*a), rb = reversed_digits(*b);  // digit 0 in the top byte
  if (rb == 0) return DEC_DIVZERO;
  // Dividend without leading zero digits (at least one kept; no digits count as one 0);
  // divisor without leading zero digits, so that every quotient digit stays below 100.
  digitrow arow, brow;
  load_row(ra, &arow);
  load_row(rb, &brow);
  int ai = a->ndigits > 0 ? std::min(leading_zero_bytes(ra), a->ndigits - 1) : 0;
  int la = a->ndigits > 0 ? a->ndigits - ai : 1;
  int bi = leading_zero_bytes(rb);
  divisor dv{digits_value(brow.d + bi, b->ndigits - bi), 0};
  dv.inverse = 1.0 / to_double(dv.value);
  int f = (a->ndigits - a->exponent) - (b->ndigits - b->exponent);
  ba_decimal r = cleared_decimal();
  int nq = long_divide(arow.d + ai, la, dv, b->ndigits - bi, r.digits, &f);
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
