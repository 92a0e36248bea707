// ba_dec.h: operations on base-100 decimal numbers (sqldec.h).
//
// Every operation first checks its decimal arguments with ba_decvalid (DEC_INVALID) and,
// except where said otherwise, passes null through: a null operand makes the result null with
// code 0. A result may be the same object as an operand.
#pragma once

#include "ba/sqldec.h"

int ba_decvalid(const ba_decimal *d);  // 1 valid, 0 not
int ba_deczero(const ba_decimal *d);   // 1 zero, 0 not, -1 invalid or null
int ba_deccomp(const ba_decimal *a, const ba_decimal *b);  // 1, 0, -1; -2 null; -6 invalid
int ba_decadd(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decsub(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decmul(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decdiv(const ba_decimal *a, const ba_decimal *b, ba_decimal *result);
int ba_decround(ba_decimal *d, int places);
int ba_dectrunc(ba_decimal *d, int places);
int ba_decscale(const ba_decimal *d);
int ba_long2dec(int value, ba_decimal *result);
int ba_dec2long(const ba_decimal *d, int *value);
int ba_dec2short(const ba_decimal *d, short *value);
int ba_dbl2dec(double value, ba_decimal *result);
int ba_flt2dec(float value, ba_decimal *result);
int ba_dec2dbl(const ba_decimal *d, double *value);
int ba_dec2flt(const ba_decimal *d, float *value);
int ba_str2dec(const char *text, int maxlen, ba_decimal *result);
// Formats d into buf (len + 1 bytes; len is the longest text allowed) with places decimal
// places (-1: as needed) and point as the decimal point. 0, or -2 with len '*' characters.
int ba_decfmt(const ba_decimal *d, char *buf, int len, int places, int point);
// ba_decfmt with the settings' decimal point.
int ba_dec2str(const ba_decimal *d, char *buf, int len, int places);
void ba_decdump(const ba_decimal *d);
