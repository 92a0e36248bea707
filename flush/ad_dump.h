// ad_dump.h: the value dump of the daemon module: a diagnostic printer for stored table rows,
// and the packed row form of decimals.
//
// Stored value forms by type code (integers in rows are big-endian; floating values are the
// raw bytes of the value in the machine's own order):
//   1, 12    characters, at most the column length; a NUL ends the value early
//   3, -1    packed decimal (below), ad_packlen(p, s) bytes
//   4, -2    i32                      5   i16
//   7        4-byte float             8   8-byte double
//   9        date and time: subtype 1 day number (i32); subtype 2 seconds, fraction (i32
//            each); any other subtype day number, seconds, fraction
//   -5       day number (i32)         10  interval: three i32 (a, s, f)
//   -3, -4   large object reference: three i32
// A column of type 12 stands in the row as a 6-byte reference (AD_REFLEN): an i32 offset from
// the start of the row and an i16 length of its characters, which lie elsewhere in the row.
//
// Packed decimal of precision p and scale s:
//   sign     1 byte                 AD_PACKNULL, AD_PACKNEG or AD_PACKPOS
//   integer  ceil((p - s) / 2)      base-100 digits, right-aligned, leading zero digits filled
//   marker   1 byte when s > 0      AD_PACKPOINT
//   fraction ceil(s / 2)            base-100 digits; for odd s the last byte holds the last
//                                   decimal digit times 10
// A negative value stores every digit byte (fill digits included) as 99 minus the digit; the
// sign and the marker are not changed. So packed forms of one precision and scale compare
// byte-wise (memcmp) as their values compare (a negative zero below a positive one). A null value is the single byte AD_PACKNULL.
//
// Entry points: ad_dumprow, ad_dumpwert, ad_packdec, ad_unpackdec, ad_packlen, ad_padcpy,
// ad_cpyterm.
// See also: ad_check.h (the flush pass, the other half of the module), ba_dec.h (decimals),
// ba_date.h (date, time and interval texts), bm_table.h (coldesc), shmstruct.h (tabdesc).
#pragma once

#include <cstdint>
#include <cstdio>

#include "ba/sqldec.h"
#include "ba/sqltypes.h"
#include "bm/bm_table.h"
#include "bm/shmstruct.h"

constexpr uint8_t AD_PACKNULL = 0x00;   // sign byte of a null value (the whole packed form)
constexpr uint8_t AD_PACKNEG = 0x10;    // sign byte of a negative value
constexpr uint8_t AD_PACKPOS = 0x20;    // sign byte of a positive value
constexpr uint8_t AD_PACKPOINT = 0xFF;  // marker between integer and fraction digits
constexpr int AD_REFLEN = 6;            // a type-12 reference: i32 offset, i16 length

// Bytes of the packed form of precision p and scale s: 1 + ceil((p - s) / 2) + ceil(s / 2),
// plus 1 for the marker when s > 0. Negative digit counts count as 0.
int ad_packlen(int p, int s);

// Packs value with precision p and scale s into out: 0; ER_PACKINVALID for an invalid value;
// ER_PACKOVERFLOW when the integer part does not fit into p - s digits. More fraction digits
// than s are rounded (half up). A null value writes only AD_PACKNULL.
// REQUIRES: out has ad_packlen(p, s) bytes.
int ad_packdec(const ba_decimal *value, int p, int s, uint8_t *out);
// Unpacks the packed form at stored (precision p, scale s) into value. Digits beyond the 16
// a decimal holds: leading zero digits are dropped first (the value stays the same), then the
// least significant ones.
// REQUIRES: stored has ad_packlen(p, s) bytes (only the sign byte when it is AD_PACKNULL).
void ad_unpackdec(ba_decimal *value, const uint8_t *stored, int p, int s);

// Prints the value at addr of the given type on out: in fixed-width columns when delim is 0,
// else followed by delim. Returns the number of bytes of the stored value (characters: the
// count printed plus 1). An invalid type prints nothing, writes "ad_dumpwert: invalid type
// %d\n" to the DBS message log and returns 0.
// REQUIRES: addr holds the stored form of the type (characters: up to length bytes or a NUL).
int ad_dumpwert(const void *addr, int type, int length, int scale, int delim, int subtype, FILE *out);
// Prints one stored row column by column and a "\n". A type-12 column prints the characters
// its reference points at when follow is non-zero, else the reference as "@%5d %5d@" (offset,
// length) with neither delimiter nor blank behind it.
// REQUIRES: cols has td->td_ncols entries; row holds every column they describe.
void ad_dumprow(const tabdesc *td, const void *row, int delim, FILE *out, const coldesc *cols, int follow);

// Copies src up to its NUL or n characters into dst, then fills dst with blanks up to n
// characters. No NUL is stored. REQUIRES: dst has n bytes.
void ad_padcpy(const char *src, char *dst, int n);
// Copies n bytes of src to dst and stores a NUL behind them. REQUIRES: dst has n + 1 bytes.
void ad_cpyterm(const char *src, int n, char *dst);
