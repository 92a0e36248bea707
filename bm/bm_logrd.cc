// bm_logrd: the logical log's readers: the record at a position (forward), the records of one
// user, and the backward walk from the end of the log over the files of the ring.
//
// Principal entry points: bm_getlogrec, bm_getuserrec, bm_initprev, bm_getprev.
//
// Invariants:
//  (1) A reader reads only pages of the log area and only within one log file: page index 0
//      (the header page, for a split trailer only) to lc_filepages - 1 of a file 0 ..
//      lc_nfiles - 1. Every length read from disk is checked against the file's record bytes
//      before anything is copied, so neither a corrupt length nor a corrupt trailer ever makes
//      a reader read outside the area or grow its buffer beyond one file's capacity.
//  (2) A page is taken from lc_page exactly when it is the page being filled of the current
//      file; every other page is read from the log area (pages before it have been written).
//  (3) A record returned by the backward reader has a leading length equal to its trailer, so
//      a caller may size it by either.
//  (4) Reads run under logsem, so the page being filled does not change under a reader.
//
// Left to the implementer, decided here:
//  - A position at or beyond the records written into a file so far, and a record whose stored
//    length reaches beyond them, are refused with ER_LOGREC (-332) and a message: nothing is
//    defined to lie there, and stale bytes of an earlier use of the file may.
//  - bm_getuserrec advances: from the given position it reads record after record of that file
//    (each record's stored length leads to the next) until one carries the user id, and tells a
//    caller who asks where it found it; at the end of the file's records it gives up (ER_LOGREC,
//    silently, since no record of the user is no fault). The caller continues behind the found
//    record.
//
// See also: bm_logrec.h (contracts, record format), bm_logwr (the writer and the binding),
// bm_io (bm_pread).
#include "bm/bm_logrec.h"

#include <algorithm>
#include <cstring>

#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"

namespace {

// A reader's record buffer: grown to the largest record read, never shrunk.
struct recbuf {
  char *data = nullptr;
  int size = 0;
};
recbuf forward_buf, backward_buf;

// The backward position (process-local).
struct backpos {
  int32_t logid = 0;
  int32_t offset = 0;
  bool ondisk = false;  // set once the reader has left the page being filled; never cleared
};
backpos rbackpos;

const logctl &lc() { return *bm_logctl(); }
bmsema *logsem() { return bm_loghead()->logsem; }

// The log files a reader may name: lc_nfiles, bounded by the array size whatever the header says.
int nfiles() { return lc().lc_nfiles < LC_MAXFILES ? lc().lc_nfiles : LC_MAXFILES; }

// The record bytes of file f a reader may look at: its byte count, bounded by the capacity of a
// file whatever the header says (invariant 1).
int32_t recbytes(int f) { return std::min(lc().lc_bytes[f], bm_logmaxrec()); }

int32_t pagenr_of(int f, int index) {
  return lc().lc_first + f * lc().lc_filepages + index;
}

// One page of the log at a time: its data area, from lc_page or read into own storage.
class pagesource {
 public:
  explicit pagesource(int f) : file_(f) {}
  // The data area of page `index` of the file (invariant 2), or null after a failed read.
  const unsigned char *data(int index) {
    if (file_ == lc().lc_cur && index == lc().lc_curpage) {
      fromseg_ = true;
      return lc().lc_page + PH_DATA;
    }
    fromseg_ = false;
    if (bm_pread(pagenr_of(file_, index), page_, PIO_ANYPART) != 0) return nullptr;
    return page_ + PH_DATA;
  }
  // The page number of the last page served, -1 when it was the page being filled.
  int32_t shown(int index) const { return fromseg_ ? -1 : pagenr_of(file_, index); }

 private:
  int file_;
  bool fromseg_ = false;
  unsigned char page_[PAGESIZE];
};

// Makes b hold at least n bytes; the old contents need not survive. False with ER_NOMEM.
bool grow(recbuf &b, int n) {
  if (b.size >= n) return true;
  if (b.data != nullptr) ba_release(b.data);
  b.data = static_cast<char *>(ba_alloc(n));
  b.size = b.data != nullptr ? n : 0;
  if (b.data == nullptr) iserrno = ER_NOMEM;
  return b.data != nullptr;
}

// ---- Forward -------------------------------------------------------------------------------------

// Refuses a position that names no file or lies at or beyond its records (decision above).
bool forward_position_ok(int f, int o) {
  if (f >= 0 && f < nfiles() && o >= 0 && o < recbytes(f)) return true;
  bm_logerr("bm_getlogrec: no record at %d %d\n", f, o);
  iserrno = ER_LOGREC;
  return false;
}

// Reads the length field of the record at data offset d of page p; -1 after a failed read,
// INT32_MIN after a stored length below LR_MINLEN (logged).
int64_t read_length(pagesource &src, int f, int o, int p, int d) {
  const unsigned char *a = src.data(p);
  if (a == nullptr) return -1;
  int32_t len;
  if (d <= LOG_DATASIZE - 4) {
    len = pg_word(a, d);
    if (len >= LR_MINLEN) return len;
    bm_logerr("bm_getlogrec2:len = %d %d %d %d %d\n", len, src.shown(p), d, f, o);
  } else {
    unsigned char b[4];
    int head = LOG_DATASIZE - d;
    memcpy(b, a + d, static_cast<size_t>(head));
    int32_t first = src.shown(p);
    if (p + 1 >= lc().lc_filepages) {  // a length field cannot reach past the file's last page
      bm_logmsg("bm_hetlogrec: logentry on wrong page %d\n", p + 1);
      iserrno = ER_LOGREC;
      return INT32_MIN;
    }
    const unsigned char *next = src.data(p + 1);
    if (next == nullptr) return -1;
    memcpy(b + head, next, static_cast<size_t>(4 - head));
    len = pg_word(b, 0);
    if (len >= LR_MINLEN) return len;
    bm_logerr("bm_getlogrec1: %d %d %d %d %d %d %d %02x %02x %02x %02x\n", len, first,
              src.shown(p + 1), d, f, o, head, b[0], b[1], b[2], b[3]);
  }
  iserrno = ER_LOGREC;
  return INT32_MIN;
}

// Copies the record of len bytes at offset o of the source's file into the forward buffer.
char *copy_forward(pagesource &src, int o, int len) {
  if (!grow(forward_buf, len)) return nullptr;
  int p = o / LOG_DATASIZE + 1, d = o % LOG_DATASIZE;
  for (int done = 0; done < len; p++, d = 0) {
    const unsigned char *a = src.data(p);
    if (a == nullptr) return nullptr;
    int n = std::min(LOG_DATASIZE - d, len - done);
    memcpy(forward_buf.data + done, a + d, static_cast<size_t>(n));
    done += n;
  }
  return forward_buf.data;
}

// The forward read, logsem held.
char *read_forward(int f, int o) {
  if (!forward_position_ok(f, o)) return nullptr;
  pagesource src(f);
  int64_t len = read_length(src, f, o, o / LOG_DATASIZE + 1, o % LOG_DATASIZE);
  if (len < 0) return nullptr;
  if (len > int64_t{recbytes(f)} - o) {
    bm_logerr("bm_getlogrec: len = %d at %d %d beyond the %d bytes of the file\n",
              static_cast<int>(len), f, o, recbytes(f));
    iserrno = ER_LOGREC;
    return nullptr;
  }
  return copy_forward(src, o, static_cast<int>(len));
}

// ---- Backward ------------------------------------------------------------------------------------

// The file that holds rbackpos: the current one while the reader is still on the page being
// filled, else the one carrying its log id. -1 (logged, ER_LOGREC) when no file carries it.
int backward_file() {
  int p = rbackpos.offset / LOG_DATASIZE + 1;
  if (!rbackpos.ondisk)
    rbackpos.ondisk = rbackpos.logid != lc().lc_logid[lc().lc_cur] || p < lc().lc_curpage;
  if (!rbackpos.ondisk) return lc().lc_cur;
  for (int f = 0; f < nfiles(); f++)
    if (lc().lc_logid[f] == rbackpos.logid) return f;
  const int32_t *id = lc().lc_logid;
  bm_logerr("bm_getprev: Logid %d not found %d %d %d %d\n", rbackpos.logid, id[0], id[1], id[2],
            id[3]);
  iserrno = ER_LOGREC;
  return -1;
}

// Refuses a position before the file's start or beyond its records.
bool backward_position_ok(int f) {
  int32_t o = rbackpos.offset;
  if (o < 0) {
    bm_logerr("bm_getprev0: %d %d %d\n", rbackpos.logid, o, f);
    iserrno = ER_LOGPAGE0;
    return false;
  }
  if (o <= recbytes(f)) return true;
  bm_logerr("bm_getprev: offset %d beyond the %d bytes of log %d\n", o, recbytes(f),
            rbackpos.logid);
  iserrno = ER_LOGREC;
  return false;
}

// Reads the trailer that ends at rbackpos in file f: the 4 bytes before data offset d of page
// p, split over page p - 1 when d < 4. -1 after a failed read, INT32_MIN after a stored length
// below LR_MINLEN (logged).
int64_t read_trailer(pagesource &src, int p, int d) {
  int32_t len;
  unsigned char b[4];
  if (d >= 4) {
    const unsigned char *a = src.data(p);
    if (a == nullptr) return -1;
    len = lr_gettrailer(a + d - 4);
    if (len >= LR_MINLEN) return len;
    bm_logerr("bm_getprev2:len = %d %d %d %d\n", len, src.shown(p), d, rbackpos.offset);
  } else {
    // Page p is fetched only when the trailer has bytes on it: at the end of a full file it
    // would lie beyond the file.
    int32_t last = -1;
    if (d > 0) {
      const unsigned char *a = src.data(p);
      if (a == nullptr) return -1;
      memcpy(b + 4 - d, a, static_cast<size_t>(d));
      last = src.shown(p);
    }
    const unsigned char *prev = src.data(p - 1);
    if (prev == nullptr) return -1;
    memcpy(b, prev + LOG_DATASIZE - (4 - d), static_cast<size_t>(4 - d));
    len = lr_gettrailer(b);
    if (len >= LR_MINLEN) return len;
    bm_logerr("bm_getprev1: %d %d %d %d %d %d %d %02x %02x %02x %02x\n", len, last,
              src.shown(p - 1), d, rbackpos.logid, rbackpos.offset, p, b[0], b[1], b[2], b[3]);
  }
  iserrno = ER_LOGREC;
  return INT32_MIN;
}

// Copies the len - 4 bytes in front of the trailer that ends at rbackpos into the backward
// buffer, from the last page backward.
char *copy_backward(pagesource &src, int len) {
  if (!grow(backward_buf, len)) return nullptr;
  int end = rbackpos.offset - LR_TRAILLEN;  // stream offset behind the last byte to copy
  int start = rbackpos.offset - len;        // >= 0: checked by the caller
  while (end > start) {
    int p = (end - 1) / LOG_DATASIZE + 1;
    int pagestart = (p - 1) * LOG_DATASIZE;
    int from = std::max(start, pagestart);
    const unsigned char *a = src.data(p);
    if (a == nullptr) return nullptr;
    memcpy(backward_buf.data + (from - start), a + (from - pagestart),
           static_cast<size_t>(end - from));
    end = from;
  }
  return backward_buf.data;
}

// Moves rbackpos back over a record of len bytes read from file f; at the start of a file it
// goes on at the end of the previous file of the ring.
void step_back(int f, int len) {
  rbackpos.offset -= len;
  if (rbackpos.offset != 0) return;
  int prev = f == 0 ? lc().lc_nfiles - 1 : f - 1;
  rbackpos.logid--;
  rbackpos.offset = lc().lc_bytes[prev];
}

// The backward read, logsem held.
char *read_backward(int *file, int *offset) {
  int f = backward_file();
  if (f < 0 || !backward_position_ok(f)) return nullptr;
  pagesource src(f);
  int64_t len =
      read_trailer(src, rbackpos.offset / LOG_DATASIZE + 1, rbackpos.offset % LOG_DATASIZE);
  if (len < 0) return nullptr;
  if (len > rbackpos.offset) {
    // The record would begin before the file's first byte: the position moves and is told,
    // as a read that went there would have moved and told it, but nothing outside the file
    // is read.
    rbackpos.offset -= static_cast<int>(len);
    *file = f;
    *offset = rbackpos.offset;
    bm_logerr("rbackpos.offset = %d\n", rbackpos.offset);
    iserrno = ER_LOGOFFSET;
    return nullptr;
  }
  char *rec = copy_backward(src, static_cast<int>(len));
  if (rec == nullptr) return nullptr;
  // The record's own length must agree with its trailer: a caller sizes it by the former.
  if (pg_word(rec, LR_LENGTH) != len) {
    bm_logerr("bm_getprev3: len = %d trailer = %d %d %d\n", pg_word(rec, LR_LENGTH),
              static_cast<int>(len), rbackpos.logid, rbackpos.offset);
    iserrno = ER_LOGREC;
    return nullptr;
  }
  *file = f;
  *offset = rbackpos.offset - static_cast<int>(len);
  step_back(f, static_cast<int>(len));
  return rec;
}

}  // namespace

char *bm_getlogrec(int file, int offset) {
  bm_p(logsem());
  char *rec = read_forward(file, offset);
  bm_v(logsem());
  return rec;
}

char *bm_getuserrec(int user, int file, int offset, int *found) {
  bm_p(logsem());
  char *rec = nullptr;
  for (int o = offset;; o += pg_word(rec, LR_LENGTH)) {
    if (file >= 0 && file < nfiles() && o >= recbytes(file)) {  // the end: silently
      rec = nullptr;
      iserrno = ER_LOGREC;
      break;
    }
    rec = read_forward(file, o);
    if (rec == nullptr) break;
    if (pg_word(rec, LR_USER) == user) {
      if (found != nullptr) *found = o;
      break;
    }
  }
  bm_v(logsem());
  return rec;
}

void bm_initprev() {
  bm_p(logsem());
  rbackpos.logid = lc().lc_logid[lc().lc_cur];
  rbackpos.offset = lc().lc_bytes[lc().lc_cur];
  rbackpos.ondisk = false;
  bm_v(logsem());
}

char *bm_getprev(int *file, int *offset) {
  bm_p(logsem());
  char *rec = read_backward(file, offset);
  bm_v(logsem());
  return rec;
}
