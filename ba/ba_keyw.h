// ba_keyw.h: the SQL keyword table.
//
// Maps SQL words to their token numbers and tokens back to their keyword text. The table is
// sorted by byte value of the text (C library string order); a multi-word keyword has one
// blank between its words.
//
// See also: ba_conv.h (ba_strupper, ba_quote).
#pragma once

constexpr int KW_NOKEYWORD = 258;  // token of a word that is no keyword
constexpr int KW_COUNT = 261;      // entries of the table
constexpr int KW_WORDMAX = 99;     // characters of a word copied before upper-casing

// One table entry. Several keywords share a token (synonyms); "NUMERIC" stands twice with 313
// and "REAL" twice, with 450 and 484.
struct ba_keyent {
  const char *text;
  int token;
};
extern const ba_keyent ba_keytab[KW_COUNT];

// Token of word (case-insensitive through ba_strupper), or KW_NOKEYWORD. A word of more than
// KW_WORDMAX characters is no keyword.
int ba_keyword(const char *word);
// Text of the first table entry with the token, or "UNKNOWN". The text is static.
const char *ba_keytext(int token);
// 1 when s begins with an upper-case letter, consists only of upper-case letters, digits and
// '_', and is no keyword (ba_keyword gives KW_NOKEYWORD), else 0.
int ba_isident(const char *s);
