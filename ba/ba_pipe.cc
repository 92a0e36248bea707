// ba_pipe: the buffered byte channel to a partner process, its value encoding, the
// diagnostic dump of a buffer, and the byte copies of floating values.
//
// Entry points: ba_pipeinit, ba_pipeclose, ba_getbyte/int/short/str/dec,
// ba_putbyte/str/msg/quoted/bytes/int/short/dec, ba_flush, ba_pipedump, ba_dbl2bytes,
// ba_flt2bytes, ba_bytes2dbl, ba_bytes2flt.
// See also: ba_sys (ba_read, ba_write, ba_signal), ba_dec (decimal conversions).
//
// Invariants:
//  (1) 0 <= inpos <= incount <= PIPE_BUFLEN; bytes inbuf[inpos..incount) are unread.
//  (2) 0 <= outpos <= PIPE_BUFLEN; bytes outbuf[0..outpos) are unsent. A byte is appended
//      only when outpos < PIPE_BUFLEN; a full buffer is sent first.
//  (3) After a failed send the bytes already sent are gone from the buffer, so a later flush
//      never sends a byte twice.
#include "ba/ba_pipe.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ba/ba_dec.h"
#include "ba/globals.h"

int ba_pipeerr;

namespace {

struct channel {
  int infd = -1;
  int outfd = -1;
  bool sockmode = false;
  unsigned char inbuf[PIPE_BUFLEN];
  int inpos = 0;
  int incount = 0;
  unsigned char outbuf[PIPE_BUFLEN];
  int outpos = 0;
  int dumpseq = 0;  // sequence number of the next dump file
};

channel chan;

// Reads the next block into the empty input buffer; false at the end of the stream or on
// failure.
bool refill() {
  chan.incount = 0;
  chan.inpos = 0;
  errno = 0;
  ssize_t n;
  if (chan.sockmode) {
    n = ba_noeintr([] { return recv(chan.infd, chan.inbuf, PIPE_BUFLEN, 0); });
  } else {
    n = ba_read(chan.infd, chan.inbuf, PIPE_BUFLEN);
  }
  if (n <= 0) return false;
  chan.incount = static_cast<int>(n);
  return true;
}

// One send call of n bytes, repeated while interrupted by a signal.
ssize_t send_some(const unsigned char *p, int n) {
  if (!chan.sockmode) return ba_write(chan.outfd, p, n);
  return ba_noeintr([&] { return send(chan.outfd, p, n, 0); });
}

// Big-endian multi-byte reads; every failed byte counts as 0xFF.
unsigned get_be(int nbytes) {
  unsigned v = 0;
  for (int i = 0; i < nbytes; i++) v = (v << 8) | (static_cast<unsigned>(ba_getbyte()) & 0xFF);
  return v;
}

int put_be(unsigned v, int nbytes) {
  for (int i = nbytes - 1; i >= 0; i--)
    if (ba_putbyte(static_cast<int>((v >> (8 * i)) & 0xFF)) != 0) return -1;
  return 0;
}

// Sends a decimal as 19 integers.
int put_decimal(const ba_decimal &d) {
  if (ba_putint(d.exponent) != 0 || ba_putint(d.positive) != 0 || ba_putint(d.ndigits) != 0) return -1;
  for (unsigned char digit : d.digits)
    if (ba_putint(digit) != 0) return -1;
  return 0;
}

// Creates the dump file exclusively: never an existing file, never through a symbolic link
// (a program of this system may run set-user-id root, and /tmp is writable by everyone).
int create_dump(const char *name) {
  if (name == nullptr || strchr(name, '/') != nullptr) return -1;
  char path[PIPE_DUMPPATHLEN];
  if (!ba_pathfmt(path, sizeof path, "/tmp/pipedump.%d.%s.%d", ba_getpid(), name, chan.dumpseq))
    return -1;
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace

// ---- Set-up ------------------------------------------------------------------------------

int ba_pipeinit(int infd, int outfd, ba_sighandler sigpipe, int sockmode) {
  chan.infd = infd;
  chan.outfd = outfd;
  chan.sockmode = sockmode != 0;
  chan.inpos = chan.incount = 0;
  chan.outpos = 0;
  ba_signal(SIGPIPE, sigpipe != nullptr ? sigpipe : SIG_IGN);
  return 0;
}

int ba_pipeclose() {
  int rc = 0;
  if (chan.infd >= 0 && close(chan.infd) != 0) rc = -1;
  if (chan.outfd >= 0 && chan.outfd != chan.infd && close(chan.outfd) != 0) rc = -1;
  chan.infd = chan.outfd = -1;
  return rc;
}

// ---- Input -------------------------------------------------------------------------------

int ba_getbyte() {
  if (chan.inpos >= chan.incount && !refill()) return -1;
  return chan.inbuf[chan.inpos++];
}

int ba_getint() { return static_cast<int>(get_be(4)); }

int ba_getshort() { return static_cast<int16_t>(get_be(2)); }

int ba_getstr(char *buf, int buflen) {
  int n = 0;
  bool cut = false;
  for (;;) {
    int c = ba_getbyte();
    if (c <= 0) {
      if (buflen > 0) buf[n] = '\0';
      if (c < 0) return -1;
      return cut ? PIPE_STRCUT : 0;
    }
    if (n < buflen - 1)
      buf[n++] = static_cast<char>(c);
    else
      cut = true;
  }
}

int ba_getdec(double *value, int *lost) {
  ba_decimal d;
  d.exponent = static_cast<int16_t>(ba_getint());
  d.positive = static_cast<int16_t>(ba_getint());
  d.ndigits = static_cast<int16_t>(ba_getint());
  for (unsigned char &digit : d.digits) digit = static_cast<unsigned char>(ba_getint());
  int rc = ba_dec2dbl(&d, value);
  *lost = rc == DEC_NULLNUM ? 1 : 0;
  return (rc == DEC_OK || rc == DEC_NULLNUM) ? 0 : -1;
}

// ---- Output ------------------------------------------------------------------------------

int ba_putbyte(int c) {
  if (chan.outpos >= PIPE_BUFLEN && ba_flush() != 0) return -1;
  chan.outbuf[chan.outpos++] = static_cast<unsigned char>(c);
  return 0;
}

int ba_putstr(const char *s) {
  for (; *s != '\0'; s++)
    if (ba_putbyte(static_cast<unsigned char>(*s)) != 0) return -1;
  return 0;
}

int ba_putmsg(const char *s) {
  if (ba_putbyte(PIPE_ESC) != 0 || ba_putshort(PIPE_MSGKIND) != 0 || ba_putstr(s) != 0) return -1;
  return ba_putbyte(0);
}

int ba_putquoted(const char *s) {
  bool enclose = ba_settings.strplain == 0;
  if (enclose && ba_putbyte('"') != 0) return -1;
  for (; *s != '\0'; s++) {
    if (*s == '"' && ba_putbyte('"') != 0) return -1;
    if (ba_putbyte(static_cast<unsigned char>(*s)) != 0) return -1;
  }
  return enclose ? ba_putbyte('"') : 0;
}

int ba_putbytes(const void *data, int len) {
  ba_pipeerr = 0;
  auto *p = static_cast<const unsigned char *>(data);
  for (int i = 0; i < len; i++)
    if (ba_putshort(p[i]) != 0) return -1;
  return 0;
}

int ba_putint(int value) { return put_be(static_cast<unsigned>(value), 4); }

int ba_putshort(int value) { return put_be(static_cast<unsigned>(value), 2); }

int ba_putdec(double value) {
  ba_decimal d;
  int rc = ba_dbl2dec(value, &d);
  if (rc != DEC_OK) {
    memset(&d, 0, sizeof d);
    d.positive = static_cast<int16_t>(rc == DEC_NULLFLT ? PIPE_DECNULL : PIPE_DECFAIL);
  }
  int sent = put_decimal(d);
  return rc != DEC_OK ? rc : sent;
}

int ba_flush() {
  ba_pipeerr = 0;
  int done = 0;
  while (done < chan.outpos) {
    ssize_t n = send_some(chan.outbuf + done, chan.outpos - done);
    if (n <= 0) {
      ba_pipeerr = n < 0 ? errno : EIO;  // a send that moves nothing would loop forever
      if (ba_settings.debug != 0) fprintf(stderr, "ba_flush: write() failed. errno = %d\n", ba_pipeerr);
      memmove(chan.outbuf, chan.outbuf + done, chan.outpos - done);
      chan.outpos -= done;
      return -1;
    }
    done += static_cast<int>(n);
  }
  chan.outpos = 0;
  return 0;
}

// ---- Dump ----------------------------------------------------------------------------------

void ba_pipedump(const void *data, int len, const char *name) {
  int fd = create_dump(name);
  chan.dumpseq++;
  if (fd < 0) return;
  // The file is closed here, so it is complete when the dump returns.
  auto *p = static_cast<const unsigned char *>(data);
  for (int done = 0; done < len;) {
    int n = ba_write(fd, p + done, len - done);
    if (n <= 0) break;
    done += n;
  }
  close(fd);
}

// ---- Floating values as bytes ------------------------------------------------------------

void ba_dbl2bytes(double value, void *buf) { memcpy(buf, &value, sizeof value); }

void ba_flt2bytes(float value, void *buf) { memcpy(buf, &value, sizeof value); }

double ba_bytes2dbl(const void *buf) {
  double v;
  memcpy(&v, buf, sizeof v);
  return v;
}

float ba_bytes2flt(const void *buf) {
  float v;
  memcpy(&v, buf, sizeof v);
  return v;
}
