// ba_conv.h: small value conversions.
//
// Integer and floating-point numbers as text, national upper- and lower-casing (characters
// above 127 through the SHIFT pairs of the language file), removing the currency decoration,
// normalising a 4-byte floating value and writing a string as an SQL literal or plain name.
// Text results live in static buffers, one per operation, overwritten by the next call.
//
// See also: ba_nls.h (SHIFT pairs, currency), ba_keyw.h (keywords for ba_quote).
#pragma once

constexpr int CONV_INTLEN = 40;    // ba_int2str buffer
constexpr int CONV_DBLLEN = 180;   // ba_dbl2str buffer
constexpr int CONV_QUOTELEN = 100; // ba_quote buffer

char *ba_int2str(int value);
char *ba_dbl2str(double value);
char *ba_strupper(char *s);  // in place; returns the address of the terminating zero
char *ba_strlower(char *s);  // in place; returns the address of the terminating zero
void ba_unmoney(char *s);
double ba_flt2dbl(const float *value);
char *ba_quote(const char *s);

// A name record: a name text in a 36-byte field followed by a number.
struct ba_name {
  char name[36];
  int number;
};
int ba_namecmp(const ba_name *a, const ba_name *b);
