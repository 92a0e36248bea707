// ba_dec.h: operations on base-100 decimal numbers (sqldec.h).
//
// Every operation first checks its decimal arguments with ba_decvalid (DEC_INVALID) and,
// except where said otherwise, passes null through: a null operand makes the result null with
// code 0. A result may be the same object as an operand; an operation that fails leaves its
// result untouched (ba_str2dec clears it instead).
//
// See also: ad_dump (the packed row form), ba_pipe (decimals on the byte channel).
#pragma once

#include "ba/sqldec.h"

// 1 when d is null, or its exponent lies in -99..99, its sign in -1..1 and ndigits in 0..16.
int ba_decvalid(const ba_decimal *d);
// 1 when all significant digits are 0 (also ndigits 0), 0 when not, -1 invalid or null.
int ba_deczero(const ba_decimal *d);
// 1 (a > b), 0 (equal), -1 (a < b); DEC_RANGE when either is null; DEC_INVALID.
int ba_deccomp(const ba_decimal *a, const ba_decimal *b);
// result = a + b, a - b, a * b, a / b. DEC_INVALID for an invalid operand or a result outside
// the exponent range; ba_decdiv gives DEC_DIVZERO for a zero divisor. Multiplication keeps
// the first 16 product digits without rounding; division keeps 16 quotient digits.
int ba_decadd(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decsub(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decmul(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decdiv(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
// Round (half up, on the magnitude) or truncate d in place to places decimal places; places
// may be negative (tens, hundreds, ...). Always 0; a null or invalid d is left untouched.
int ba_decround(ba_decimal *d, int places);
int ba_dectrunc(ba_decimal *d, int places);
// Number of decimal places needed to write d exactly; 0 for null; DEC_INVALID.
int ba_decscale(const ba_decimal *d);

// Integer conversions. ba_dec2long: DEC_RANGE outside -2147483647..2147483647 (the value,
// fraction included, is compared), else the value truncated toward zero. ba_dec2short:
// DEC_RANGE when that integer lies outside -32767..32767. Null gives 0 and DEC_NULLNUM.
int ba_long2dec(int value, ba_decimal *result);
int ba_dec2long(const ba_decimal *d, int *value);
int ba_dec2short(const ba_decimal *d, short *value);
// 32-bit integer of text through ba_str2dec and ba_dec2long (a fraction is cut off): 0, or -1
// when text is null, blank or no decimal number, or its value lies outside
// -2147483647..2147483647. *value is stored only on success.
int ba_atoint(const char *text, int *value);

// Floating conversions. ba_dbl2dec: DEC_NULLFLT for the null marker (eight DEC_NULLBYTE
// bytes), DEC_RANGE for an infinite or NaN value, DEC_INVALID outside the exponent range;
// 15 significant digits are kept. ba_dec2dbl/ba_dec2flt: null gives 0 and DEC_NULLNUM;
// ba_dec2flt gives DEC_RANGE when the value exceeds the float range.
int ba_dbl2dec(double value, ba_decimal *result);
int ba_flt2dec(float value, ba_decimal *result);
int ba_dec2dbl(const ba_decimal *d, double *value);
int ba_dec2flt(const ba_decimal *d, float *value);

// Parses at most maxlen characters of text (up to its terminating zero). Blank text gives a
// null decimal. DEC_MALFORMED, DEC_RANGE (more than 16 digit pairs), DEC_TOOLONG (more than
// DEC_MAXTEXT characters); on failure *result is cleared to zero bytes. The exponent range of
// the result is not checked here.
int ba_str2dec(const char *text, int maxlen, ba_decimal *result);
// Formats d into buf (len + 1 bytes; len is the longest text allowed) with places decimal
// places (-1: as needed, any other negative value counts as -1) and point as the decimal
// point. 0; DEC_RANGE when the text does not fit (buf then holds len '*' characters);
// DEC_INVALID for an invalid d (also len '*' characters).
// REQUIRES: buf has room for len + 1 bytes.
int ba_decfmt(const ba_decimal *d, char *buf, int len, int places, int point);
// ba_decfmt with the settings' decimal point ('.' while no settings are loaded).
int ba_dec2str(const ba_decimal *d, char *buf, int len, int places);
// The settings' decimal point, '.' while no settings are loaded.
int ba_decpoint();
// Prints the fields of d on standard output.
void ba_decdump(const ba_decimal *d);
