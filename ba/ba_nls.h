// ba_nls.h: language files and character classes.
//
// A language file (<home>/msg/<lang>/<nls>.nls) gives the national conventions: yes/no
// characters, decimal point, date format, text characters, case pairs above 127, currency
// format and the collation sequence (SIL lines). ba_nlsread fills the language fields of the
// settings record and rebuilds the first-byte index `ba_collidx` of the collation entries.
//
// See also: ba_env.h (the settings record and its loader), ba_conf.h (ba_getline).
#pragma once

#include <cstdio>

#include "ba/ba_env.h"

constexpr int NLS_LINEMAX = 60;       // characters kept of a language-file line
constexpr int NLS_WEIGHT_BLANK = 0;   // weight of a blank and of the end of a string
constexpr int NLS_WEIGHT_NONE = 30000;  // weight of a byte that begins no collation element
constexpr int NLS_MONEYLEN = 200;     // size of the ba_money result buffer

// One list of the first-byte index: the indices into `coll` of the entries whose string
// begins with the list's byte, in `coll` order.
struct ba_collist {
  int *idx;
  int n;
};
extern ba_collist ba_collidx[256];

// Line number at which the last ba_nlsread stopped (the line of its error).
extern int ba_nlsline;

// Parses an open language file into the language fields of *settings and rebuilds
// ba_collidx. Returns 0, -3102, -3103, -3104, -3105 or -316.
int ba_nlsread(basettings *settings, FILE *file);
// Releases the 256 index lists and empties them.
void ba_nlsfree();
// Applies a date format of 8 or 10 characters to datelen, dateorder and datesep of ba_settings.
void ba_setdate(const char *fmt);
int ba_isyes(int c);   // 1 when c occurs in `yes`
int ba_isno(int c);    // 1 when c occurs in `no`
int ba_istext(int c);  // 1 when byte c is a text character
// The amount formatted with `currency`; a process-global buffer of NLS_MONEYLEN bytes.
char *ba_money(const char *amount);
// Weight of the next collation element at *pos (advanced past it), matching at most max
// bytes; *used grows by the bytes consumed.
int ba_nlsweight(const char **pos, int max, int *used);
// Compares two strings by collation weights over at most max bytes each: -1, 0 or 1.
int ba_nlscmp(const char *a, const char *b, int max);
// 1 when lo <= x <= hi by ba_nlscmp with a limit of 65535 bytes.
int ba_between(const char *x, const char *lo, const char *hi);
