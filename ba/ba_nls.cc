// ba_nls: language files and the national character rules built from them.
//
// Principal entry points: ba_nlsread (parse a language file into the settings record and
// rebuild the first-byte index), ba_nlsclear/ba_nlsfree (release), ba_setdate, the character
// classes ba_isyes/ba_isno/ba_istext, ba_money, and the collation ba_nlsweight/ba_nlscmp/
// ba_between. Invariants are listed in ba_nls.h.
//
// A language file is read line by line (NLS_LINEMAX characters kept). A line is recognised by
// the keyword it begins with, tried in the order of kKeywords; its argument is the rest of the
// line after the letters at its start and the white space after them.
//
// See also: ba_env (the settings record and its loader), ba_conf (ba_getline), ba_mem.
#include "ba/ba_nls.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "ba/ba_conf.h"
#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"

ba_collist ba_collidx[256];
int ba_nlsline;

namespace {

char moneybuf[NLS_MONEYLEN];

// State of one parse: the record being filled and the weight of the next SIL line.
struct nlsparse {
  basettings *s;
  int weight;
};

using keyhandler = int (*)(nlsparse &, const char *arg);

// ---- Small helpers -----------------------------------------------------------------------

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Skips the letters at the start of a line (the keyword and letters glued to it), then the
// white space; the rest is the argument.
const char *argument(const char *line) {
  while (is_letter(static_cast<unsigned char>(*line))) line++;
  while (isspace(static_cast<unsigned char>(*line))) line++;
  return line;
}

// Replaces an owned string field by a copy of value; -316 (field unchanged) without memory.
int replace_string(char *&field, const char *value) {
  char *copy = ba_strdup(value);
  if (copy == nullptr) return ER_NOMEM;
  if (field != nullptr) ba_release(field);
  field = copy;
  return 0;
}

void release_string(char *&field) {
  if (field != nullptr) ba_release(field);
  field = nullptr;
}

// The next piece of a blank-separated argument: *start and *len describe it, p moves past it.
// False when no piece is left.
bool next_piece(const char *&p, const char *&start, int &len) {
  static constexpr char kSeparators[] = " \t\n";
  p += strspn(p, kSeparators);
  if (*p == '\0') return false;
  start = p;
  len = static_cast<int>(strcspn(p, kSeparators));
  p += len;
  return true;
}

// Whether a byte occurs in a zero-terminated character set; the byte 0 never does.
int in_set(const char *set, int c) {
  if (set == nullptr) return 0;  // no such line in the file: nothing answers
  auto b = static_cast<unsigned char>(c);
  for (const char *p = set; *p != '\0'; p++)
    if (static_cast<unsigned char>(*p) == b) return 1;
  return 0;
}

// The separator of a date format of n >= 3 characters: the third from the end when the year
// comes first, else the third.
char date_separator(const char *fmt, size_t n) { return fmt[0] == 'Y' ? fmt[n - 3] : fmt[2]; }

// Applies a date format to a record (see ba_setdate); false when it is shorter than 3
// characters.
bool set_date(basettings &s, const char *fmt) {
  size_t n = strlen(fmt);
  if (n < 3) return false;
  s.datelen = n == 8 ? 8 : 10;
  s.datesep = date_separator(fmt, n);
  s.dateorder = fmt[0] == 'Y' ? 2 : fmt[0] == 'D' ? 0 : 1;
  return true;
}

// ---- TEXT --------------------------------------------------------------------------------

int hex_value(unsigned char c) { return isdigit(c) ? c - '0' : tolower(c) - 'a' + 10; }

// Reads one character of a TEXT item at p, decoding "\0x" + two hex digits and "\c"; -1 on a
// syntax error. A backslash that ends the argument is a syntax error, like a "\0" escape that
// is not followed by x or X and two hexadecimal digits, so a line never reads past its end.
int text_char(const char *&p) {
  if (*p == '\0') return -1;
  if (*p != '\\') return static_cast<unsigned char>(*p++);
  p++;
  if (*p == '\0') return -1;
  if (*p != '0') return static_cast<unsigned char>(*p++);
  p++;
  if ((*p != 'x' && *p != 'X') || !isxdigit(static_cast<unsigned char>(p[1])) ||
      !isxdigit(static_cast<unsigned char>(p[2])))
    return -1;
  int value = hex_value(static_cast<unsigned char>(p[1])) * 16 +
              hex_value(static_cast<unsigned char>(p[2]));
  p += 3;
  return value;
}

// A single text character is stored once: a repeated one is already a text character, so
// textchar holds each byte value at most once and its 256 slots cannot overflow.
void add_textchar(basettings &s, int c) {
  for (int i = 0; i < s.ntextchar; i++)
    if (s.textchar[i] == c) return;
  s.textchar[s.ntextchar++] = c;
}

int add_textrange(basettings &s, int lo, int hi) {
  if (ba_rszvek(&s.textrange, s.ntextrange, sizeof *s.textrange) != 0) return ER_NOMEM;
  s.textrange[s.ntextrange++] = lo * 256 + hi;
  return 0;
}

// One item at p: "[" lo "-" hi "]" or a single character. A '[' not followed by a character,
// '-', a character and ']' (the argument ending on the way included) is a syntax error.
int text_item(basettings &s, const char *&p) {
  if (*p != '[') {
    int c = text_char(p);
    if (c < 0) return ER_NLS_TEXT;
    add_textchar(s, c);
    return 0;
  }
  p++;
  int lo = text_char(p);
  if (lo < 0 || *p != '-') return ER_NLS_TEXT;
  p++;
  int hi = text_char(p);
  if (hi < 0 || *p != ']') return ER_NLS_TEXT;
  p++;
  return add_textrange(s, lo, hi);
}

// ---- SIL ---------------------------------------------------------------------------------

// Decodes one SIL element of n bytes at src into dst (room for n + 1 bytes): "\\" is a
// backslash, a backslash before a digit starts a number read like strtol with base 0 whose
// low 8 bits are the byte. A backslash before anything else stays a backslash. A decoded zero
// byte ends the element, as it ends every text the element is compared with.
void sil_decode(const char *src, int n, char *dst) {
  const char *end = src + n;
  while (src < end) {
    if (src[0] == '\\' && src + 1 < end && src[1] == '\\') {
      *dst++ = '\\';
      src += 2;
    } else if (src[0] == '\\' && src + 1 < end && isdigit(static_cast<unsigned char>(src[1]))) {
      // The number ends at the latest at the blank or zero that ends the piece.
      char *after;
      long value = strtol(src + 1, &after, 0);
      *dst++ = static_cast<char>(static_cast<unsigned char>(value));
      src = after;
    } else {
      *dst++ = *src++;
    }
  }
  *dst = '\0';
}

bool sil_defined(const basettings &s, const char *element) {
  for (int i = 0; i < s.ncoll; i++)
    if (strcmp(s.coll[i].str, element) == 0) return true;
  return false;
}

int add_collent(basettings &s, const char *element, int weight) {
  if (sil_defined(s, element)) return ER_NLS_DUPSIL;
  if (ba_rszvek(&s.coll, s.ncoll, sizeof *s.coll) != 0) return ER_NOMEM;
  char *copy = ba_strdup(element);
  if (copy == nullptr) return ER_NOMEM;
  s.coll[s.ncoll++] = ba_collent{copy, weight};
  return 0;
}

// ---- Keyword handlers --------------------------------------------------------------------

int key_yes(nlsparse &ps, const char *arg) { return replace_string(ps.s->yes, arg); }

int key_no(nlsparse &ps, const char *arg) { return replace_string(ps.s->no, arg); }

int key_currency(nlsparse &ps, const char *arg) { return replace_string(ps.s->currency, arg); }

int key_point(nlsparse &ps, const char *arg) {
  if (arg[0] != '.' && arg[0] != ',') return ER_NLS_POINT;
  ps.s->decpoint = arg[0];
  return 0;
}

int key_date(nlsparse &ps, const char *arg) {
  return ba_isdatefmt(arg) && set_date(*ps.s, arg) ? 0 : ER_NLS_DATE;
}

// Blanks are text characters like any other, so the whole argument is items.
int key_text(nlsparse &ps, const char *arg) {
  while (*arg != '\0') {
    int rc = text_item(*ps.s, arg);
    if (rc != 0) return rc;
  }
  return 0;
}

// Pieces are taken literally: first character lower case, third upper case. A piece shorter
// than three characters has no upper-case member and is skipped.
int key_shift(nlsparse &ps, const char *arg) {
  basettings &s = *ps.s;
  const char *piece;
  int len;
  while (next_piece(arg, piece, len)) {
    if (len < 3) continue;
    if (ba_rszvek(&s.shift, s.nshift, sizeof *s.shift) != 0) return ER_NOMEM;
    s.shift[s.nshift++] = ba_shiftpair{static_cast<unsigned char>(piece[0]),
                                       static_cast<unsigned char>(piece[2])};
  }
  return 0;
}

// Every element of the line gets the line's weight; the weight moves on even for an empty line.
int key_sil(nlsparse &ps, const char *arg) {
  int weight = ps.weight++;
  const char *piece;
  int len;
  while (next_piece(arg, piece, len)) {
    char element[NLS_LINEMAX + 1];
    sil_decode(piece, len, element);
    int rc = add_collent(*ps.s, element, weight);
    if (rc != 0) return rc;
  }
  return 0;
}

struct keyword {
  const char *name;
  keyhandler handler;
};

// Tried in this order; the first keyword the line begins with decides ("NOTE" is a NO line).
constexpr keyword kKeywords[] = {
    {"YES", key_yes},   {"NO", key_no},     {"POINT", key_point},       {"DATE", key_date},
    {"TEXT", key_text}, {"SHIFT", key_shift}, {"CURRENCY", key_currency}, {"SIL", key_sil},
};

int apply_line(nlsparse &ps, const char *line) {
  for (const keyword &k : kKeywords)
    if (strncmp(line, k.name, strlen(k.name)) == 0) return k.handler(ps, argument(line));
  return 0;  // a comment or an empty line
}

// Rebuilds the first-byte index from s.coll.
int build_index(const basettings &s) {
  ba_nlsfree();
  for (int i = 0; i < s.ncoll; i++) {
    auto b = static_cast<unsigned char>(s.coll[i].str[0]);
    if (b == 0) continue;  // an empty element begins with no byte: list 0 stays empty
    ba_collist &list = ba_collidx[b];
    if (ba_rszvek(&list.idx, list.n, sizeof *list.idx) != 0) return ER_NOMEM;
    list.idx[list.n++] = i;
  }
  return 0;
}

// ---- Collation helpers -------------------------------------------------------------------

// Number of leading bytes of element that equal text, at most max.
int match_length(const char *element, const unsigned char *text, int max) {
  int n = 0;
  while (n < max && element[n] != '\0' && static_cast<unsigned char>(element[n]) == text[n]) n++;
  return n;
}

// The entry of the list of text's first byte that matches the most bytes (the earlier one on
// equal counts); its count, 0 when no entry begins with that byte.
int best_element(const unsigned char *text, int max, int &weight) {
  const ba_collist &list = ba_collidx[text[0]];
  int best = 0;
  for (int i = 0; i < list.n; i++) {
    const ba_collent &e = ba_settings.coll[list.idx[i]];
    int n = match_length(e.str, text, max);
    if (n > best) {
      best = n;
      weight = e.weight;
    }
  }
  return best;
}

// Appends up to room - 1 - *len bytes of src to dst at *len; the caller ends it with a zero.
void append_cut(char *dst, size_t room, size_t &len, const char *src, size_t n) {
  size_t take = len + 1 + n <= room ? n : room - 1 - len;
  memcpy(dst + len, src, take);
  len += take;
}

}  // namespace

// ---- Parse and release ---------------------------------------------------------------------

int ba_nlsread(basettings *settings, FILE *file) {
  ba_nlsclear(settings);
  nlsparse ps{settings, 1};
  ba_nlsline = 0;
  char line[NLS_LINEMAX + 1];
  while (ba_getline(line, file, NLS_LINEMAX) == 0) {
    ba_nlsline++;
    int rc = apply_line(ps, line);
    if (rc != 0) return rc;
  }
  return build_index(*settings);
}

void ba_nlsfree() {
  for (ba_collist &list : ba_collidx) {
    if (list.idx != nullptr) ba_release(list.idx);
    list = ba_collist{};
  }
}

void ba_nlsclear(basettings *settings) {
  basettings &s = *settings;
  for (int i = 0; i < s.ncoll; i++) release_string(s.coll[i].str);
  if (s.coll != nullptr) ba_release(s.coll);
  s.coll = nullptr;
  s.ncoll = 0;
  if (s.shift != nullptr) ba_release(s.shift);
  s.shift = nullptr;
  s.nshift = 0;
  if (s.textrange != nullptr) ba_release(s.textrange);
  s.textrange = nullptr;
  s.ntextrange = 0;
  s.ntextchar = 0;
  release_string(s.yes);
  release_string(s.no);
  release_string(s.currency);
  ba_nlsfree();
}

// ---- Character classes and formats ---------------------------------------------------------

int ba_setdate(const char *fmt) { return set_date(ba_settings, fmt) ? 0 : -1; }

// A format such as D.M.YYYY has the length of one but a field letter where the separator is
// read: it would make 'M' the separator, so it is no date format.
bool ba_isdatefmt(const char *fmt) {
  size_t n = strlen(fmt);
  if (n != 8 && n != 10) return false;
  return isalnum(static_cast<unsigned char>(date_separator(fmt, n))) == 0;
}

int ba_isyes(int c) { return in_set(ba_settings.yes, c); }

int ba_isno(int c) { return in_set(ba_settings.no, c); }

int ba_istext(int c) {
  const basettings &s = ba_settings;
  int b = static_cast<unsigned char>(c);
  for (int i = 0; i < s.ntextrange; i++)
    if ((s.textrange[i] >> 8) <= b && b <= (s.textrange[i] & 0xFF)) return 1;
  for (int i = 0; i < s.ntextchar; i++)
    if (s.textchar[i] == b) return 1;
  return 0;
}

// Without a currency format the amount stands alone, as under the format "%". A result longer
// than the buffer is cut, never overrun.
char *ba_money(const char *amount) {
  const char *fmt = ba_settings.currency != nullptr ? ba_settings.currency : "%";
  if (amount == nullptr) amount = "";
  size_t amountlen = strlen(amount), len = 0;
  for (; *fmt != '\0'; fmt++) {
    if (*fmt == '%')
      append_cut(moneybuf, sizeof moneybuf, len, amount, amountlen);
    else
      append_cut(moneybuf, sizeof moneybuf, len, fmt, 1);
  }
  moneybuf[len] = '\0';
  return moneybuf;
}

// ---- Collation -----------------------------------------------------------------------------

int ba_nlsweight(const char **pos, int max, int *used) {
  auto *text = reinterpret_cast<const unsigned char *>(*pos);
  if (text[0] == '\0' || max <= 0) return NLS_WEIGHT_BLANK;
  int weight = NLS_WEIGHT_BLANK;
  int count = 1;
  if (text[0] != ' ') {
    count = best_element(text, max, weight);
    if (count == 0) {
      count = 1;
      weight = NLS_WEIGHT_NONE;
    }
  }
  *pos += count;
  *used += count;
  return weight;
}

int ba_nlscmp(const char *a, const char *b, int max) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  int useda = 0, usedb = 0;
  do {
    int wa = ba_nlsweight(&a, max - useda, &useda);
    int wb = ba_nlsweight(&b, max - usedb, &usedb);
    if (wa != wb) return wa < wb ? -1 : 1;
  } while (useda < max && usedb < max && (*a != '\0' || *b != '\0'));
  return 0;
}

int ba_between(const char *x, const char *lo, const char *hi) {
  return ba_nlscmp(lo, x, NLS_BETWEENMAX) <= 0 && ba_nlscmp(x, hi, NLS_BETWEENMAX) <= 0;
}
