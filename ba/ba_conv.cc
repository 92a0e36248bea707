// ba_conv: small value conversions: numbers as text, national casing, currency stripping,
// 4-byte floating normalisation, literals and names.
//
// Principal entry points: ba_int2str, ba_dbl2str, ba_strupper, ba_strlower, ba_unmoney,
// ba_flt2dbl, ba_quote, ba_namecmp.
//
// Invariants:
//  (1) Each text result lives in one static buffer per operation (ba_int2str, ba_dbl2str,
//      ba_quote), overwritten by the next call of the same operation.
//  (2) Every write into those buffers is bounded by the buffer's size. A ba_quote result that
//      does not fit is refused (null), never cut; the other results always fit.
//
// See also: ba_nls (SHIFT pairs and currency of the language file), ba_keyw (keywords and
// ba_isident, which decides whether ba_quote may leave a name bare).
#include "ba/ba_conv.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ba/ba_keyw.h"
#include "ba/globals.h"

namespace {

// ---- Casing ------------------------------------------------------------------------------

// The partner of byte c in the first SHIFT pair whose lower (upper) member is c, or c itself.
unsigned char shift_partner(unsigned char c, bool upper) {
  for (int i = 0; i < ba_settings.nshift; i++) {
    const ba_shiftpair &p = ba_settings.shift[i];
    if ((upper ? p.lower : p.upper) == c) return upper ? p.upper : p.lower;
  }
  return c;
}

// Maps every byte of s in place: below 128 with the C library's mapping, above through the
// SHIFT pairs. Returns the address of the terminating zero.
char *map_case(char *s, bool upper) {
  for (; *s != '\0'; s++) {
    auto c = static_cast<unsigned char>(*s);
    if (c < 128)
      *s = static_cast<char>(upper ? toupper(c) : tolower(c));
    else
      *s = static_cast<char>(shift_partner(c, upper));
  }
  return s;
}

// ---- Floating value to text --------------------------------------------------------------

// Values outside [-1e10, 1e10] and strictly between -1 and 1 are printed with "%g".
bool prints_with_g(double value) {
  return value > 1e10 || value < -1e10 || (value > -1 && value < 1);
}

// Drops the trailing zeros of a fixed-point fraction and then a bare decimal point; texts in
// exponent form, or without a fraction, stay as they are.
void trim_fraction(char *text) {
  if (strpbrk(text, ".,") == nullptr || strpbrk(text, "eE") != nullptr) return;
  size_t n = strlen(text);
  while (n > 0 && text[n - 1] == '0') n--;
  if (n > 0 && !isdigit(static_cast<unsigned char>(text[n - 1]))) n--;
  text[n] = '\0';
}

// ---- Currency ----------------------------------------------------------------------------

bool is_number_char(char c) {
  return isdigit(static_cast<unsigned char>(c)) || c == '.' || c == ',' || c == '-';
}

// ---- Quoting -----------------------------------------------------------------------------

// Writes "s" into buf (size bytes). Decision: an embedded double quote is written twice instead
// of once, so that the result is one well-formed delimited name or literal whatever s contains;
// written once, it would end the name early and let the rest of s be read as SQL text. False,
// with buf emptied, when the result and its terminating zero do not fit.
bool put_quoted(char *buf, size_t size, const char *s) {
  const size_t inner_end = size - 2;  // room left for the closing quote and the zero
  size_t n = 0;
  buf[n++] = '"';
  for (; *s != '\0'; s++) {
    size_t need = *s == '"' ? 2 : 1;
    if (n + need > inner_end) {
      buf[0] = '\0';
      return false;
    }
    buf[n++] = *s;
    if (*s == '"') buf[n++] = '"';
  }
  buf[n++] = '"';
  buf[n] = '\0';
  return true;
}

// Writes s unchanged into buf (size bytes). False, with buf emptied, when it does not fit.
bool put_bare(char *buf, size_t size, const char *s) {
  size_t n = strlen(s);
  if (n >= size) {
    buf[0] = '\0';
    return false;
  }
  memcpy(buf, s, n + 1);
  return true;
}

}  // namespace

char *ba_int2str(int value) {
  static char buf[CONV_INTLEN];
  snprintf(buf, sizeof buf, "%d", value);
  return buf;
}

char *ba_dbl2str(double value) {
  static char buf[CONV_DBLLEN];
  // -0.0 compares equal to 0 and is printed as "0" too. Between -1e10 and 1e10 "%f" needs at
  // most 19 characters, so the buffer never cuts a result.
  if (value == 0)
    snprintf(buf, sizeof buf, "0");
  else if (prints_with_g(value))
    snprintf(buf, sizeof buf, "%g", value);
  else
    snprintf(buf, sizeof buf, "%f", value);
  trim_fraction(buf);
  return buf;
}

char *ba_strupper(char *s) { return map_case(s, true); }

char *ba_strlower(char *s) { return map_case(s, false); }

void ba_unmoney(char *s) {
  const char *f = ba_settings.currency;
  // Without a currency format there is no decoration to remove: the text stays.
  if (f == nullptr) return;
  while (*s != '\0' && *f != '\0') {
    if (*s == ' ') {
      s++;
    } else if (*f == ' ') {
      f++;
    } else if (*f == *s) {
      *s++ = ' ';
      f++;
    } else if (*f == '%') {
      while (is_number_char(*s)) s++;
      f++;
    } else {
      f++;
    }
  }
}

double ba_flt2dbl(const float *value) {
  char text[32];  // "%g" of a float needs at most 13 characters ("-1.17549e-38")
  snprintf(text, sizeof text, "%g", static_cast<double>(*value));
  return strtod(text, nullptr);
}

char *ba_quote(const char *s) {
  static char buf[CONV_QUOTELEN];
  // A cut name would name another object: a result that does not fit is refused instead.
  bool bare = ba_settings.strplain != 0 || ba_isident(s) != 0;
  bool fits = bare ? put_bare(buf, sizeof buf, s) : put_quoted(buf, sizeof buf, s);
  return fits ? buf : nullptr;
}

int ba_namecmp(const ba_name *a, const ba_name *b) {
  // The comparison stops at the end of the 36-byte field even when a name fills it without a
  // terminating zero, so it never reads into the number or beyond the record.
  return strncmp(a->name, b->name, sizeof a->name) == 0 && a->number == b->number ? 1 : 0;
}
