// ba_keyw.h: the SQL keyword table.
#pragma once

constexpr int KW_NOKEYWORD = 258;  // token of a word that is no keyword
constexpr int KW_COUNT = 261;      // entries of the table
constexpr int KW_WORDMAX = 99;     // characters of a word copied before upper-casing

// Token of word, or 258 when it is no keyword.
int ba_keyword(const char *word);
// Text of the first table entry with the token, or "UNKNOWN".
const char *ba_keytext(int token);
