// ad_dump: the value dump of the daemon module (ad_check split by prefix): a diagnostic
// printer for stored rows and values, the packed row form of decimals, and two small copies.
// Nothing in the flush daemon calls it; server tools print rows with it.
//
// Entry points: ad_dumprow, ad_dumpwert, ad_packdec, ad_unpackdec, ad_packlen, ad_padcpy,
// ad_cpyterm.
// See also: ad_dump.h (the stored forms), ba_dec (decimals), ba_date (date, time and interval
// texts), ba_pipe (ba_bytes2flt, ba_bytes2dbl), bm_log (the DBS message log).
//
// Invariants:
//  (1) Every text is built in a local buffer sized for the longest text its formatter can
//      produce, and printed from there; no caller-given length sizes a local buffer.
//  (2) A packed decimal is read and written for exactly ad_packlen(p, s) bytes; the 16 digits
//      of a decimal are never overrun, whatever precision a column claims.
#include "flush/ad_dump.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "ba/ba_date.h"
#include "ba/ba_dec.h"
#include "ba/ba_pipe.h"
#include "ba/error.h"
#include "ba/ba_byteorder.h"
#include "bm/bm_log.h"

namespace {

constexpr int DIGIT_MAX = 99;  // a negative value stores each digit d as 99 - d

constexpr int DT_DATE = 1;  // subtype of a date-and-time value holding only the day number
constexpr int DT_TIME = 2;  // subtype holding only seconds and fraction

// The longest decimal text: ba_decfmt never writes more than its limit, which is capped here.
constexpr int DEC_TEXTLEN = 512;
constexpr int FLT_TEXTLEN = 64;  // "%g" of any double, a delimiter and the zero

int ceil_half(int n) { return n > 0 ? (n + 1) / 2 : 0; }

int32_t be32(const void *addr) { return ba_getbe32(addr); }
int16_t be16(const void *addr) { return ba_getbe16(addr); }

// ---- Packed decimals ----------------------------------------------------------------------

// Digit i of d, counted from its first stored digit; positions outside the stored digits are 0.
int digit_at(const ba_decimal &d, int i) { return i >= 0 && i < d.ndigits ? d.digits[i] : 0; }

// Writes digit bytes, complemented for a negative value.
struct packer {
  uint8_t *out;
  int n;
  bool negative;
  void digit(int v) { out[n++] = static_cast<uint8_t>(negative ? DIGIT_MAX - v : v); }
};

// The integer digits right-aligned into ceil((p - s) / 2) bytes. Leading integer digits that
// do not fit must be 0. With an odd count of integer decimal places the first byte has room
// for one decimal digit only: a first written digit above 9 does not fit either. (This check
// also covers a value whose digits start with zero pairs that are skipped, so that no value
// is stored with more integer digits than p - s.)
int pack_integer(const ba_decimal &d, int intplaces, packer *pk) {
  int n = ceil_half(intplaces);
  int m = std::max<int>(d.exponent, 0);
  int first = m - n;  // index of the first digit written; below 0: fill zeros come first
  for (int i = 0; i < first; i++)
    if (digit_at(d, i) != 0) return ER_PACKOVERFLOW;
  if (n > 0 && first >= 0 && intplaces % 2 == 1 && digit_at(d, first) > 9) return ER_PACKOVERFLOW;
  for (int i = first; i < m; i++) pk->digit(digit_at(d, i));
  return 0;
}

// The marker and ceil(s / 2) fraction bytes; for odd s the last holds one decimal digit.
void pack_fraction(const ba_decimal &d, int s, packer *pk) {
  if (s == 0) return;
  pk->out[pk->n++] = AD_PACKPOINT;
  for (int j = 0; j < ceil_half(s); j++) {
    int pair = digit_at(d, d.exponent + j);  // fraction pair j, zero pairs of a negative exponent included
    pk->digit(2 * j + 1 == s ? pair / 10 * 10 : pair);
  }
}

// Appends one unpacked digit. When all 16 places are taken, a leading zero digit makes room
// (the exponent follows, so the value stays); otherwise the digit is dropped. Digits before
// the marker count as integer places, kept or not.
void append_digit(ba_decimal *d, int v, bool fraction, int *intplaces) {
  if (d->ndigits == DEC_MAXDIGITS && d->digits[0] == 0) {
    memmove(d->digits, d->digits + 1, DEC_MAXDIGITS - 1);
    d->digits[DEC_MAXDIGITS - 1] = 0;
    d->ndigits--;
    (*intplaces)--;
  }
  if (d->ndigits < DEC_MAXDIGITS) d->digits[d->ndigits++] = static_cast<uint8_t>(v);
  if (!fraction) (*intplaces)++;
}

// ---- Value texts ----------------------------------------------------------------------------

// Ends a value: the delimiter, or (fixed columns) the blank that separates the columns.
void end_value(int delim, FILE *out) { fputc(delim != 0 ? delim : ' ', out); }

void print_text(const char *text, int delim, FILE *out) {
  fputs(text, out);
  end_value(delim, out);
}

// Characters up to the column length or a NUL; fixed columns are filled with blanks.
int dump_chars(const char *s, int length, int delim, FILE *out) {
  int k = 0;
  for (; k < length && s[k] != '\0'; k++) fputc(s[k], out);
  if (delim == 0)
    for (int i = k; i < length; i++) fputc(' ', out);
  end_value(delim, out);
  return k + 1;
}

int dump_decimal(const void *addr, int length, int scale, int delim, FILE *out) {
  ba_decimal d;
  ad_unpackdec(&d, static_cast<const uint8_t *>(addr), length, scale);
  char text[DEC_TEXTLEN];
  // The longest text allowed is the column length + 3 (sign, point and a leading 0); a
  // length beyond this buffer gives the same text, which is never as long.
  int limit = std::min(length, DEC_TEXTLEN - 4) + 3;
  ba_dec2str(&d, text, limit, scale);
  print_text(text, delim, out);
  return ad_packlen(length, scale);
}

// A float: its text, delimiter included, with every '.' and ',' made the settings' decimal
// point. A double keeps its point.
void dump_float(float v, int delim, FILE *out) {
  char text[FLT_TEXTLEN];
  if (delim != 0)
    snprintf(text, sizeof text, "%g%c", static_cast<double>(v), delim);
  else
    snprintf(text, sizeof text, "%8g ", static_cast<double>(v));
  auto point = static_cast<char>(ba_decpoint());
  for (char *c = text; *c != '\0'; c++)
    if (*c == '.' || *c == ',') *c = point;
  fputs(text, out);
}

void dump_double(double v, int delim, FILE *out) {
  if (delim != 0)
    fprintf(out, "%g%c", v, delim);
  else
    fprintf(out, "%12g ", v);
}

void dump_int(int v, int width, int delim, FILE *out) {
  if (delim != 0)
    fprintf(out, "%d%c", v, delim);
  else
    fprintf(out, "%*d ", width, v);
}

// The date text of a day number; nothing for a day outside the valid range.
void date_text(int32_t daynr, char text[DATE_LEN]) {
  text[0] = '\0';
  ba_date2str(daynr, text);
}

int dump_datetime(const void *addr, int subtype, int delim, FILE *out) {
  const auto *p = static_cast<const uint8_t *>(addr);
  char text[DATE_LEN + 1 + DATE_TIMELEN];
  if (subtype == DT_DATE) {
    date_text(be32(p), text);
    print_text(text, delim, out);
    return 4;  // a day number only, as type -5
  }
  if (subtype == DT_TIME) {
    ba_time2str(be32(p), be32(p + 4), text, -1, 0);
    print_text(text, delim, out);
    return 8;
  }
  date_text(be32(p), text);
  size_t n = strlen(text);
  text[n++] = ' ';
  ba_time2str(be32(p + 4), be32(p + 8), text + n, -1, 0);
  print_text(text, delim, out);
  return 12;
}

}  // namespace

// ---- Packed decimals ----------------------------------------------------------------------

int ad_packlen(int p, int s) {
  s = std::max(s, 0);
  return 1 + ceil_half(p - s) + ceil_half(s) + (s > 0 ? 1 : 0);
}

int ad_packdec(const ba_decimal *value, int p, int s, uint8_t *out) {
  if (!ba_decvalid(value)) return ER_PACKINVALID;
  if (value->positive == -1) {
    out[0] = AD_PACKNULL;
    return 0;
  }
  s = std::max(s, 0);
  ba_decimal d = *value;
  // Rounding is a no-op unless d has more fraction digits than s. (Counted as 2 * (ndigits -
  // exponent): the zero pairs of a negative exponent are fraction digits too.)
  ba_decround(&d, s);
  packer pk{out, 1, d.positive == 0};
  out[0] = pk.negative ? AD_PACKNEG : AD_PACKPOS;
  if (int rc = pack_integer(d, p - s, &pk); rc != 0) return rc;
  pack_fraction(d, s, &pk);
  return 0;
}

void ad_unpackdec(ba_decimal *value, const uint8_t *stored, int p, int s) {
  ba_decimal d;
  memset(&d, 0, sizeof d);
  if (stored[0] == AD_PACKNULL) {
    d.positive = -1;
    *value = d;
    return;
  }
  bool negative = stored[0] == AD_PACKNEG;
  d.positive = negative ? 0 : 1;
  int intplaces = 0;
  bool fraction = false;
  int len = ad_packlen(p, s);
  for (int i = 1; i < len; i++) {
    if (stored[i] == AD_PACKPOINT) {
      fraction = true;
      continue;
    }
    append_digit(&d, negative ? DIGIT_MAX - stored[i] : stored[i], fraction, &intplaces);
  }
  d.exponent = static_cast<int16_t>(std::clamp(intplaces, INT16_MIN + 0, INT16_MAX + 0));
  *value = d;
}

// ---- The printer ----------------------------------------------------------------------------

int ad_dumpwert(const void *addr, int type, int length, int scale, int delim, int subtype, FILE *out) {
  const auto *p = static_cast<const uint8_t *>(addr);
  char text[DATE_IVALLEN];
  switch (type) {
    case T_CHAR:
    case T_VARCHAR:
      return dump_chars(static_cast<const char *>(addr), length, delim, out);
    case T_DECIMAL:
    case T_DECIMAL2:
      return dump_decimal(addr, length, scale, delim, out);
    case T_INT:
    case T_INT2:
      dump_int(be32(p), 9, delim, out);
      return 4;
    case T_SHORT:
      dump_int(be16(p), 5, delim, out);
      return 2;
    case T_FLOAT:
      dump_float(ba_bytes2flt(p), delim, out);
      return 4;
    case T_DOUBLE:
      dump_double(ba_bytes2dbl(p), delim, out);
      return 8;
    case T_DATETIME:
      return dump_datetime(addr, subtype, delim, out);
    case T_DATE:
      date_text(be32(p), text);
      print_text(text, delim, out);
      return 4;
    case T_INTERVAL:
      ba_ival2string(be32(p), be32(p + 4), be32(p + 8), subtype, text);
      print_text(text, delim, out);
      return 12;
    case T_BLOB:
    case T_TEXT:
      // The result for a large-object reference is the 12 bytes of the reference read from
      // the row; the object itself lies elsewhere and is not counted.
      fprintf(out, "BLOB (%d %d %d)", be32(p), be32(p + 4), be32(p + 8));
      end_value(delim, out);
      return 12;
    default:
      // An invalid type consumed no bytes: 0.
      bm_logerr("ad_dumpwert: invalid type %d\n", type);
      return 0;
  }
}

void ad_dumprow(const tabdesc *td, const void *row, int delim, FILE *out, const coldesc *cols, int follow) {
  const auto *base = static_cast<const uint8_t *>(row);
  for (int c = 0; c < td->td_ncols; c++) {
    const coldesc &col = cols[c];
    const uint8_t *at = base + col.offset;
    if (col.type != T_VARCHAR) {
      ad_dumpwert(at, col.type, col.length, col.scale, delim, col.subtype, out);
      continue;
    }
    int32_t refoff = be32(at);
    int16_t reflen = be16(at + 4);
    if (follow != 0)
      ad_dumpwert(base + refoff, T_VARCHAR, reflen, col.scale, delim, col.subtype, out);
    else
      fprintf(out, "@%5d %5d@", refoff, reflen);
  }
  fputs("\n", out);
}

// ---- Copies --------------------------------------------------------------------------------

void ad_padcpy(const char *src, char *dst, int n) {
  int k = 0;
  for (; k < n && src[k] != '\0'; k++) dst[k] = src[k];
  for (; k < n; k++) dst[k] = ' ';
}

void ad_cpyterm(const char *src, int n, char *dst) {
  size_t len = n > 0 ? static_cast<size_t>(n) : 0;
  memcpy(dst, src, len);
  dst[len] = '\0';
}
