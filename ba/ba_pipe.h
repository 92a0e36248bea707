// ba_pipe.h: the buffered byte channel to a partner process.
//
// One process-global channel over two descriptors (a pipe pair or a connected socket) with
// 512-byte input and output buffers and a fixed encoding: integers most significant byte
// first, strings zero-ended, byte arrays as 16-bit values, decimals as 19 integers.
#pragma once

#include "ba/sqldec.h"

constexpr int PIPE_BUFLEN = 512;

extern int ba_pipeerr;  // errno of the last failed send

int ba_pipeinit(int infd, int outfd, int sigpipe, int sockmode);
int ba_pipeclose();
int ba_getbyte();
int ba_getint();
int ba_getshort();
int ba_getstr(char *buf);
int ba_getdec(double *value, int *lost);
int ba_putbyte(int c);
int ba_putstr(const char *s);
int ba_putmsg(const char *s);
int ba_putquoted(const char *s);
int ba_putbytes(const void *data, int len);
int ba_putint(int value);
int ba_putshort(int value);
int ba_putdec(double value);
int ba_flush();
void ba_pipedump(const void *data, int len, const char *name);
void ba_dbl2bytes(double value, void *buf);
void ba_flt2bytes(float value, void *buf);
double ba_bytes2dbl(const void *buf);
float ba_bytes2flt(const void *buf);
