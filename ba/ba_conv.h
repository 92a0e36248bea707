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

// "%d" of value, in the ba_int2str buffer.
char *ba_int2str(int value);
// 0 gives "0"; values above 1e10, below -1e10 or strictly between -1 and 1 are printed with
// "%g", the others with "%f"; a fixed-point fraction loses its trailing zeros and then a bare
// decimal point. In the ba_dbl2str buffer.
char *ba_dbl2str(double value);
// In place; bytes below 128 through the C library, above through the SHIFT pairs of
// ba_settings. Return the address of the terminating zero.
char *ba_strupper(char *s);
char *ba_strlower(char *s);
// In place: blanks out the characters of s that the currency format of ba_settings matches,
// leaving the number surrounded by blanks. Without a currency format s stays unchanged.
void ba_unmoney(char *s);
// *value printed with "%g" and read back, so the result carries six significant digits.
double ba_flt2dbl(const float *value);
// s unchanged when strplain is set or s is a plain upper-case name that is no keyword
// (ba_isident); otherwise s in double quotes, each embedded double quote doubled. In the
// ba_quote buffer. Null when the result needs more than CONV_QUOTELEN - 1 characters (a bare
// text of 100 or more, a quoted one of 98 or more with its doubled quotes counted): nothing is
// cut, since a shorter name would name something else.
char *ba_quote(const char *s);

// A name record: a name text in a 36-byte field followed by a number.
struct ba_name {
  char name[36];
  int number;
};
// 1 when both names (compared up to their terminating zero, at most the 36-byte field) and
// both numbers are equal, else 0.
int ba_namecmp(const ba_name *a, const ba_name *b);
