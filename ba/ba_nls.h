// ba_nls.h: language files and character classes.
//
// A language file (<home>/msg/<lang>/<nls>.nls) gives the national conventions: yes/no
// characters, decimal point, date format, text characters, case pairs above 127, currency
// format and the collation sequence (SIL lines). ba_nlsread fills the language fields of the
// settings record and rebuilds the first-byte index `ba_collidx` of the collation entries.
//
// Invariants:
//  (1) ba_collidx[b] lists, in `coll` order, exactly the entries of ba_settings.coll whose
//      string begins with byte b; list 0 is always empty.
//  (2) The language fields own their storage (ba_alloc, given back with ba_release);
//      ba_nlsclear gives all of it back, and every parse starts with it.
//  (3) textchar holds every byte value at most once, so ntextchar never exceeds 256.
//
// See also: ba_env.h (the settings record and its loader), ba_conf.h (ba_getline).
#pragma once

#include <cstdio>

#include "ba/ba_env.h"

constexpr int NLS_LINEMAX = 60;       // characters kept of a language-file line
constexpr int NLS_WEIGHT_BLANK = 0;   // weight of a blank and of the end of a string
constexpr int NLS_WEIGHT_NONE = 30000;  // weight of a byte that begins no collation element
constexpr int NLS_MONEYLEN = 200;     // size of the ba_money result buffer
constexpr int NLS_BETWEENMAX = 65535; // byte limit of the comparisons of ba_between

// One list of the first-byte index: the indices into `coll` of the entries whose string
// begins with the list's byte, in `coll` order.
struct ba_collist {
  int *idx;
  int n;
};
extern ba_collist ba_collidx[256];

// Line number at which the last ba_nlsread stopped: the line of its error, or the number of
// lines read when it succeeded.
extern int ba_nlsline;

// Parses an open language file into the language fields of *settings and rebuilds
// ba_collidx. The language fields of an earlier parse are released first (ba_nlsclear).
// Returns 0, -3102, -3103, -3104, -3105 or -316; after an error the fields filled so far stay.
// REQUIRES: settings is &ba_settings for the collation operations below to see the result.
int ba_nlsread(basettings *settings, FILE *file);
// Releases the 256 index lists and empties them.
void ba_nlsfree();
// Releases the owned language fields of *settings (yes, no, currency, the collation entries
// and their vector, the case pairs, the text ranges) and the first-byte index; sets them to
// absent and their counts (ncoll, nshift, ntextrange, ntextchar) to 0.
void ba_nlsclear(basettings *settings);
// Applies a date format to datelen, dateorder and datesep of ba_settings: datelen 8 for a
// format of 8 characters, otherwise 10. Returns 0, or -1 without a change for a format shorter
// than 3 characters, which has no separator where it is looked for.
int ba_setdate(const char *fmt);
// Whether fmt is a date format the language file's DATE line and TOLVDATE accept: exactly 8 or
// 10 characters, with a separator (neither letter nor digit) where ba_setdate reads it.
bool ba_isdatefmt(const char *fmt);
// 1 when c occurs in `yes` (`no`), else 0; 0 when the file had no YES (NO) line. c is taken
// as a byte (its low 8 bits); the byte 0 never answers.
int ba_isyes(int c);
int ba_isno(int c);
// 1 when byte c (its low 8 bits) is a text character, else 0.
int ba_istext(int c);
// The amount formatted with `currency` (every '%' replaced by the amount); the amount alone
// when no currency format is set. A process-global buffer of NLS_MONEYLEN bytes that the next
// call overwrites; a longer result is cut to NLS_MONEYLEN - 1 characters.
char *ba_money(const char *amount);
// Weight of the next collation element at *pos (advanced past it), matching at most max
// bytes; *used grows by the bytes consumed. At the end of the string (or max <= 0): 0 and
// nothing consumed.
int ba_nlsweight(const char **pos, int max, int *used);
// Compares two strings by collation weights over at most max bytes each: -1, 0 or 1.
// A null string compares like the empty string.
int ba_nlscmp(const char *a, const char *b, int max);
// 1 when lo <= x <= hi by ba_nlscmp with a limit of NLS_BETWEENMAX bytes.
int ba_between(const char *x, const char *lo, const char *hi);
