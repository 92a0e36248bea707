// ba_decconv: conversions of base-100 decimals from and to 32- and 16-bit integers, floating
// values and text.
//
// Entry points: ba_long2dec, ba_dec2long, ba_dec2short, ba_dbl2dec, ba_flt2dec, ba_dec2dbl,
// ba_dec2flt, ba_str2dec, ba_decfmt, ba_dec2str.
// See also: ba_dec (arithmetic), ba_env.h (the decimal point of the settings).
//
// Invariants:
//  (1) Text is parsed from a bounded local copy of at most DEC_MAXTEXT characters.
//  (2) ba_decfmt builds its text in a local buffer of FMT_LEN bytes that holds the longest
//      text of a valid decimal (sign, "0.", 99 zero pairs, 16 digit pairs, 83 missing pairs);
//      padding zeros for the requested places are written only into the caller's buffer, and
//      only after the length has been checked against len.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ba/ba_dec.h"
#include "ba/ba_decint.h"
#include "ba/globals.h"

using namespace decint;

namespace {

constexpr int INT32_LIMIT = 2147483647;  // largest magnitude a 32-bit conversion accepts
constexpr int INT16_LIMIT = 32767;
constexpr int LONG_PAIRS = 6;            // "%012ld": twelve digits, six pairs
constexpr int DBL_DIGITS = 15;           // significant digits taken from a floating value
constexpr int EXP_SATURATE = 9999;       // |e| of a text exponent saturates here (invalid anyway)

// ---- Integers --------------------------------------------------------------------------

// The integer part of |d|, saturated just above INT32_LIMIT, and whether a fraction is left.
long long integer_part(const ba_decimal &d, bool *fraction) {
  long long v = 0;
  for (int i = 0; i < d.exponent; i++) {
    v = v * 100 + (i < d.ndigits ? d.digits[i] : 0);
    if (v > INT32_LIMIT) {
      *fraction = false;
      return static_cast<long long>(INT32_LIMIT) + 1;
    }
  }
  *fraction = false;
  for (int i = std::max<int>(d.exponent, 0); i < d.ndigits; i++)
    if (d.digits[i] != 0) *fraction = true;
  return v;
}

// ---- Floating values -------------------------------------------------------------------

bool is_null_marker(double value) {
  unsigned char b[sizeof value];
  memcpy(b, &value, sizeof b);
  for (unsigned char c : b)
    if (c != DEC_NULLBYTE) return false;
  return true;
}

// The first 15 significant digits of value, correctly rounded, the position of the decimal
// point and the sign, as the C library's fixed-digit-count conversion gives them.
void fixed_digits(double value, char digits[DBL_DIGITS], int *decpt, bool *negative) {
  char t[40];
  snprintf(t, sizeof t, "%.*e", DBL_DIGITS - 1, value);  // [-]d.dddddddddddddde[+-]xx
  const char *s = t;
  *negative = *s == '-';
  if (*negative) s++;
  int n = 0;
  for (; *s != 'e'; s++)
    if (isdigit(static_cast<unsigned char>(*s)) && n < DBL_DIGITS) digits[n++] = *s;
  *decpt = atoi(s + 1) + 1;
  if (value == 0) *decpt = 1;
}

// ---- Text parsing ----------------------------------------------------------------------

// Reads the exponent part at the first 'E' or 'e' followed by '-' or a digit, and cuts the
// text there. 0, or DEC_MALFORMED when anything follows its digits or it has no digit.
int read_exponent(char *t, int *e, bool *found) {
  *e = 0;
  *found = false;
  char *x = strpbrk(t, "Ee");
  if (x == nullptr || !(x[1] == '-' || isdigit(static_cast<unsigned char>(x[1])))) return DEC_OK;
  const char *s = x + 1;
  bool neg = *s == '-';
  if (neg) s++;
  if (!isdigit(static_cast<unsigned char>(*s))) return DEC_MALFORMED;
  int v = 0;
  for (; isdigit(static_cast<unsigned char>(*s)); s++) v = std::min(v * 10 + (*s - '0'), EXP_SATURATE);
  if (*s != '\0') return DEC_MALFORMED;
  *e = neg ? -v : v;
  *found = true;
  *x = '\0';
  return DEC_OK;
}

// The mantissa's digits without point characters, and the count of digits before the point.
struct mantissa {
  char digits[DEC_MAXTEXT + 1];
  int ndigits;
  int intdigits;  // digits before the point; all of them without a point
  bool point;
};

// Splits the mantissa text (after the sign) into digits. DEC_MALFORMED for a character other
// than a digit or point, a point not followed by a digit (except at the very end), or no digit.
// The decimal point is the first '.', or else the first ','; the count of integer digits
// counts digits only, so a ',' before a '.' reads as a group separator.
int split_mantissa(const char *s, mantissa *m) {
  const char *pt = strchr(s, '.');
  if (pt == nullptr) pt = strchr(s, ',');
  m->point = pt != nullptr;
  m->ndigits = 0;
  m->intdigits = 0;
  for (const char *c = s; *c != '\0'; c++) {
    if (*c == '.' || *c == ',') {
      if (c[1] != '\0' && !isdigit(static_cast<unsigned char>(c[1]))) return DEC_MALFORMED;
      continue;
    }
    if (!isdigit(static_cast<unsigned char>(*c))) return DEC_MALFORMED;
    if (pt == nullptr || c < pt) m->intdigits++;
    m->digits[m->ndigits++] = *c;
  }
  m->digits[m->ndigits] = '\0';
  return m->ndigits == 0 ? DEC_MALFORMED : DEC_OK;
}

// Packs the digits into base-100 pairs for an exponent part e. DEC_RANGE beyond 16 pairs.
int pack_mantissa(const mantissa &m, int e, ba_decimal *r) {
  int i = m.intdigits;
  int k = 0, n = 0;
  if ((i + e) & 1) {
    // When the integer digits and the exponent differ in parity the first digit forms a
    // base-100 digit by itself. That is the first digit character, also when the text begins
    // with its point: ".5E1" reads as 0.5E1 = 5.
    r->digits[n++] = static_cast<uint8_t>(m.digits[k++] - '0');
    i++;
  }
  for (; k < m.ndigits; k += 2) {
    if (n == DEC_MAXDIGITS) return DEC_RANGE;
    int hi = m.digits[k] - '0';
    int lo = k + 1 < m.ndigits ? m.digits[k + 1] - '0' : 0;
    r->digits[n++] = static_cast<uint8_t>(hi * 10 + lo);
  }
  r->ndigits = static_cast<int16_t>(n);
  int exponent = (i + e) / 2;
  // Leading zero pairs go, at most exponent of them and never the last one.
  int lead = 0;
  while (lead < n - 1 && lead < exponent && r->digits[lead] == 0) lead++;
  memmove(r->digits, r->digits + lead, n - lead);
  memset(r->digits + n - lead, 0, lead);
  r->ndigits = static_cast<int16_t>(n - lead);
  r->exponent = static_cast<int16_t>(exponent - lead);
  return DEC_OK;
}

// Parses the trimmed text t (at most DEC_MAXTEXT characters, not empty).
int parse_decimal(char *t, ba_decimal *r) {
  int e;
  bool hasexp;
  if (int rc = read_exponent(t, &e, &hasexp); rc != DEC_OK) return rc;
  const char *s = t;
  while (isspace(static_cast<unsigned char>(*s))) s++;
  r->positive = SIGN_POS;
  if (*s == '-' || *s == '+') r->positive = static_cast<int16_t>(*s++ == '-' ? SIGN_NEG : SIGN_POS);
  mantissa m;
  if (int rc = split_mantissa(s, &m); rc != DEC_OK) return rc;
  if (!m.point && !hasexp) {
    // Trailing zeros of an integer (all but the first digit) become the exponent part.
    while (m.ndigits > 1 && m.digits[m.ndigits - 1] == '0') {
      m.digits[--m.ndigits] = '\0';
      e++;
    }
    m.intdigits = m.ndigits;
  }
  if (int rc = pack_mantissa(m, e, r); rc != DEC_OK) return rc;
  bool zero = true;
  for (int i = 0; i < r->ndigits; i++)
    if (r->digits[i] != 0) zero = false;
  if (zero) r->positive = SIGN_POS;
  return DEC_OK;
}

// ---- Text formatting -------------------------------------------------------------------

constexpr int FMT_LEN = 512;  // see invariant (2)

// A number text under construction: t[0..len), the index of the point or -1.
struct numtext {
  char t[FMT_LEN];
  int len;
  int point;
  int start;  // index of the first digit (after a '-')
};

void put(numtext *x, const char *s) {
  size_t n = strlen(s);
  memcpy(x->t + x->len, s, n);
  x->len += static_cast<int>(n);
}

// A base-100 digit as "%d" or, padded, as "%02d" would print it.
void put_digit(numtext *x, int v, bool padded) {
  if (v >= 100) x->t[x->len++] = static_cast<char>('0' + v / 100);  // only in invalid digits
  if (v >= 10 || padded) x->t[x->len++] = static_cast<char>('0' + v / 10 % 10);
  x->t[x->len++] = static_cast<char>('0' + v % 10);
}

void put_point(numtext *x, int c) {
  x->point = x->len;
  x->t[x->len++] = static_cast<char>(c);
}

// Step 2: the plain text of d.
void build_text(const ba_decimal &d, int c, numtext *x) {
  x->len = 0;
  x->point = -1;
  if (d.positive == SIGN_NEG) put(x, "-");
  x->start = x->len;
  bool written = false;
  if (d.exponent < 0) {
    put(x, "0");
    put_point(x, c);
    for (int i = 0; i < -d.exponent; i++) put(x, "00");
    written = true;
  }
  for (int i = 0; i < d.ndigits; i++) {
    if (i == d.exponent) {
      if (!written) put(x, "0");
      put_point(x, c);
      written = true;
    }
    bool integer = i < d.exponent;
    if (integer && !written && d.digits[i] == 0) continue;  // leading zero pairs
    // The first integer digit without its leading zero; fraction digits always as pairs.
    put_digit(x, d.digits[i], !(integer && !written));
    written = true;
  }
  // Missing pairs up to the point, only behind a digit (a zero prints as "0", not "0000").
  if (written)
    for (int i = d.ndigits; i < d.exponent; i++) put(x, "00");
  if (!written) put(x, "0");
}

int fraction_digits(const numtext &x) { return x.point < 0 ? 0 : x.len - x.point - 1; }

// Step 3: rounds the text half up to n fraction digits; the dropped digits become zeros.
void round_text(numtext *x, int n) {
  if (n < 0 || fraction_digits(*x) <= n) return;
  int first_dropped = x->point + 1 + n;
  if (x->t[first_dropped] >= '5') {
    int j = first_dropped - 1;
    for (; j >= x->start; j--) {
      if (j == x->point) continue;
      if (x->t[j] != '9') break;
      x->t[j] = '0';
    }
    if (j >= x->start) {
      x->t[j]++;
    } else {  // carry out of the first digit: "1" and zeros, one more integer digit
      memmove(x->t + x->start + 1, x->t + x->start, x->len - x->start);
      x->t[x->start] = '1';
      x->len++;
      x->point++;
      first_dropped++;
    }
  }
  for (int j = first_dropped; j < x->len; j++) x->t[j] = '0';
}

// Step 4: drops fraction zeros beyond n (all when n is -1) and a bare point. Returns how many
// padding zeros n still asks for.
int trim_text(numtext *x, int n) {
  while (fraction_digits(*x) > std::max(n, 0) && x->t[x->len - 1] == '0') x->len--;
  if (x->point >= 0 && fraction_digits(*x) == 0) {
    x->len = x->point;
    x->point = -1;
  }
  return std::max(n - fraction_digits(*x), 0);
}

// Copies x into buf with pad zeros for n places (a point first when there is none).
void emit(const numtext &x, int n, int pad, int c, char *buf) {
  memcpy(buf, x.t, x.len);
  int len = x.len;
  if (pad > 0) {
    if (x.point < 0 && n > 0) buf[len++] = static_cast<char>(c);
    memset(buf + len, '0', pad);
    len += pad;
  }
  buf[len] = '\0';
}

int fill_stars(char *buf, int len, int rc) {
  size_t n = len > 0 ? static_cast<size_t>(len) : 0;
  memset(buf, '*', n);
  buf[n] = '\0';
  return rc;
}

}  // namespace

// ---- Integers ----------------------------------------------------------------------------

int ba_long2dec(int value, ba_decimal *result) {
  // -2147483648 is converted exactly: the magnitude is taken in 64 bits, so it needs no
  // special case (its twelve-digit form is "002147483648").
  long long mag = value < 0 ? -static_cast<long long>(value) : value;
  int pairs[LONG_PAIRS];
  for (int i = LONG_PAIRS - 1; i >= 0; i--) {
    pairs[i] = static_cast<int>(mag % 100);
    mag /= 100;
  }
  int lead = 0;
  while (lead < LONG_PAIRS - 1 && pairs[lead] == 0) lead++;
  ba_decimal r = cleared_decimal();
  r.positive = static_cast<int16_t>(value < 0 ? SIGN_NEG : SIGN_POS);
  r.ndigits = r.exponent = static_cast<int16_t>(LONG_PAIRS - lead);
  for (int i = 0; i < r.ndigits; i++) r.digits[i] = static_cast<uint8_t>(pairs[lead + i]);
  *result = r;
  return DEC_OK;
}

int ba_dec2long(const ba_decimal *d, int *value) {
  if (!ba_decvalid(d)) return DEC_INVALID;
  if (is_null(*d)) {
    *value = 0;
    return DEC_NULLNUM;
  }
  bool fraction;
  long long v = integer_part(*d, &fraction);
  if (v > INT32_LIMIT || (v == INT32_LIMIT && fraction)) return DEC_RANGE;
  *value = static_cast<int>(d->positive == SIGN_NEG ? -v : v);
  return DEC_OK;
}

int ba_dec2short(const ba_decimal *d, short *value) {
  int v;
  int rc = ba_dec2long(d, &v);
  if (rc == DEC_NULLNUM) *value = 0;
  if (rc != DEC_OK) return rc;
  if (v < -INT16_LIMIT || v > INT16_LIMIT) return DEC_RANGE;
  *value = static_cast<short>(v);
  return DEC_OK;
}

// ---- Floating values ---------------------------------------------------------------------

int ba_dbl2dec(double value, ba_decimal *result) {
  if (is_null_marker(value)) return DEC_NULLFLT;
  if (!std::isfinite(value)) return DEC_RANGE;  // no decimal holds an infinity or a NaN
  char digits[DBL_DIGITS];
  int decpt;
  bool negative;
  fixed_digits(value, digits, &decpt, &negative);
  // The digit string filled up with '0' to 32 digits; an odd point position gets a '0' in
  // front.
  char s[2 * DEC_MAXDIGITS];
  memset(s, '0', sizeof s);
  int off = (decpt & 1) ? 1 : 0;
  memcpy(s + off, digits, DBL_DIGITS);
  decpt += off;
  ba_decimal r = cleared_decimal();
  int last = 0;
  for (int i = 0; i < DEC_MAXDIGITS; i++) {
    r.digits[i] = static_cast<uint8_t>((s[2 * i] - '0') * 10 + (s[2 * i + 1] - '0'));
    if (r.digits[i] != 0) last = i;
  }
  r.ndigits = static_cast<int16_t>(last + 1);
  int exponent = decpt / 2;
  if (exponent < EXP_MIN || exponent > EXP_MAX) return DEC_INVALID;
  r.exponent = static_cast<int16_t>(exponent);
  r.positive = static_cast<int16_t>(negative ? SIGN_NEG : SIGN_POS);
  *result = r;
  return DEC_OK;
}

int ba_flt2dec(float value, ba_decimal *result) { return ba_dbl2dec(static_cast<double>(value), result); }

int ba_dec2dbl(const ba_decimal *d, double *value) {
  if (!ba_decvalid(d)) return DEC_INVALID;
  if (is_null(*d)) {
    *value = 0;
    return DEC_NULLNUM;
  }
  double v = 0, w = 1;
  for (int i = d->exponent - 1; i >= 0; i--) {  // integer digits from the last one up
    if (i < d->ndigits) v += d->digits[i] * w;
    w *= 100;
  }
  w = 1;
  for (int i = d->exponent; i < 0; i++) w /= 100;  // zero pairs before the first digit
  for (int i = std::max<int>(d->exponent, 0); i < d->ndigits; i++) {
    w /= 100;
    v += d->digits[i] * w;
  }
  *value = d->positive == SIGN_NEG ? -v : v;
  return DEC_OK;
}

int ba_dec2flt(const ba_decimal *d, float *value) {
  double v;
  int rc = ba_dec2dbl(d, &v);
  if (rc == DEC_NULLNUM) *value = 0;
  if (rc != DEC_OK) return rc;
  auto f = static_cast<float>(v);
  if (std::isinf(f)) return DEC_RANGE;  // beyond the range of a 4-byte value
  *value = f;
  return DEC_OK;
}

// ---- Text ----------------------------------------------------------------------------

int ba_str2dec(const char *text, int maxlen, ba_decimal *result) {
  size_t n = (text == nullptr || maxlen <= 0) ? 0 : strnlen(text, static_cast<size_t>(maxlen));
  while (n > 0 && text[n - 1] == ' ') n--;
  if (n > static_cast<size_t>(DEC_MAXTEXT)) {
    *result = cleared_decimal();
    return DEC_TOOLONG;
  }
  if (n == 0) {
    *result = null_decimal();
    return DEC_OK;
  }
  char t[DEC_MAXTEXT + 1];
  memcpy(t, text, n);
  t[n] = '\0';
  ba_decimal r = cleared_decimal();
  int rc = parse_decimal(t, &r);
  *result = rc == DEC_OK ? r : cleared_decimal();
  return rc;
}

int ba_decfmt(const ba_decimal *d, char *buf, int len, int places, int point) {
  len = std::max(len, 0);
  if (!ba_decvalid(d)) return fill_stars(buf, len, DEC_INVALID);
  if (is_null(*d)) {
    buf[0] = '\0';
    return DEC_OK;
  }
  if (d->ndigits == 0) {  // a zero without digits prints as "0" whatever the places
    if (len < 1) return fill_stars(buf, len, DEC_RANGE);
    strcpy(buf, "0");
    return DEC_OK;
  }
  numtext x;
  build_text(*d, point, &x);
  int n = places < 0 ? -1 : places;
  numtext y;
  for (;;) {
    y.len = x.len, y.point = x.point, y.start = x.start;
    memcpy(y.t, x.t, x.len);
    round_text(&y, n);
    int pad = trim_text(&y, n);
    // In 64 bits: pad comes from the caller's places and may lie near INT_MAX.
    long long total = static_cast<long long>(y.len) + pad + ((pad > 0 && y.point < 0) ? 1 : 0);
    if (total <= len) {
      emit(y, n, pad, point, buf);
      return DEC_OK;
    }
    // Too long: with places as needed, give up fraction digits while the integer text fits.
    int intlen = y.point < 0 ? y.len : y.point;
    if (n != -1 || y.point < 0 || intlen > len) return fill_stars(buf, len, DEC_RANGE);
    n = std::max(len - intlen - 1, 0);
  }
}

int ba_dec2str(const ba_decimal *d, char *buf, int len, int places) {
  return ba_decfmt(d, buf, len, places, ba_decpoint());
}

int ba_decpoint() {
  // Before the settings are loaded the decimal point is still 0; a zero byte would end the
  // text in the middle of the number, so '.' stands in for it.
  return ba_settings.decpoint != '\0' ? ba_settings.decpoint : '.';
}
