// ba_pipe.h: the buffered byte channel to a partner process.
//
// One process-global channel over two descriptors (a pipe pair or a connected socket) with
// 512-byte input and output buffers and a fixed encoding: integers most significant byte
// first, strings zero-ended, byte arrays as 16-bit values, decimals as 19 integers. Single
// threaded; one channel per process.
//
// See also: ba_dec.h (the decimal conversions of ba_putdec/ba_getdec), ba_sys.h (ba_read,
// ba_write, ba_signal), ad_check (the byte copies of floating values in rows).
#pragma once

#include "ba/ba_sys.h"
#include "ba/sqldec.h"

constexpr int PIPE_BUFLEN = 512;
constexpr int PIPE_ESC = 27;        // first byte of a text message
constexpr int PIPE_MSGKIND = 1;     // the 16-bit value after it
constexpr int PIPE_DECINTS = 19;    // a decimal: exponent, sign, ndigits and 16 digit bytes
constexpr int PIPE_DECNULL = -1;    // sign field of a null floating value
constexpr int PIPE_DECFAIL = -2;    // sign field of a value that could not be converted
constexpr int PIPE_DUMPPATHLEN = 300;
constexpr int PIPE_STRCUT = 1;      // ba_getstr: the string did not fit the buffer

extern int ba_pipeerr;  // errno of the last failed send; 0 when a send starts

// Binds the channel to infd and outfd (the same descriptor for a socket), empties both
// buffers, sets socket mode when sockmode is non-zero, and sets the SIGPIPE disposition to
// sigpipe, or to ignoring it when sigpipe is null. Returns 0.
int ba_pipeinit(int infd, int outfd, ba_sighandler sigpipe, int sockmode);
// Closes both descriptors (one descriptor once). 0, or -1 when a close failed.
int ba_pipeclose();

// The next input byte (0..255), or -1 when the input is exhausted or fails.
int ba_getbyte();
// 4 and 2 bytes, most significant first; a failed byte reads as 0xFF (a failed read gives -1).
int ba_getint();
int ba_getshort();
// Bytes up to and including a zero byte. At most buflen - 1 bytes are stored and buf is
// always ended with a zero (when buflen > 0); the rest of a longer string is read and dropped,
// so the channel stays in step. 0 for a whole string; PIPE_STRCUT when the string was longer
// than buf holds (buf then has only its start: the caller must not take it for the string);
// -1 when the input ended before the zero byte (whether or not it was cut).
int ba_getstr(char *buf, int buflen);
// The same into a character array, whose size bounds the copy.
template <int N>
int ba_getstr(char (&buf)[N]) {
  return ba_getstr(buf, N);
}
// Reads a decimal and converts it to a floating value; *lost = 1 for a null decimal (the value
// is then 0). 0, or -1 when the conversion fails otherwise.
int ba_getdec(double *value, int *lost);

// Each put returns 0, or -1 when a needed flush failed (ba_pipeerr tells why).
int ba_putbyte(int c);
int ba_putstr(const char *s);     // without the terminating zero
int ba_putmsg(const char *s);     // ESC, the 16-bit value 1, s, a zero byte
int ba_putquoted(const char *s);  // "s" with inner quotes doubled; no enclosing pair with strplain
int ba_putbytes(const void *data, int len);  // each byte as a 16-bit value; clears ba_pipeerr
int ba_putint(int value);
int ba_putshort(int value);
// Converts value to a decimal and sends it; a null marker is sent as zeros with sign field
// PIPE_DECNULL, any other failure as zeros with PIPE_DECFAIL. Returns the conversion's code,
// or -1 when the conversion succeeded but the send failed.
int ba_putdec(double value);
// Sends the buffered output completely. 0; or -1 with ba_pipeerr set, the message
// "ba_flush: write() failed. errno = %d\n" on standard error when debug is set, and the
// unsent bytes kept in the buffer.
int ba_flush();

// Writes len bytes to a new file "/tmp/pipedump.<pid>.<name>.<n>" (n counts the dumps of the
// process from 0), created exclusively with mode 0600 and never through a symbolic link; a
// name containing '/' is refused. Nothing is written when the file cannot be created.
void ba_pipedump(const void *data, int len, const char *name);

// Byte copies of floating values in memory order, from and to possibly unaligned addresses.
void ba_dbl2bytes(double value, void *buf);
void ba_flt2bytes(float value, void *buf);
double ba_bytes2dbl(const void *buf);
float ba_bytes2flt(const void *buf);
