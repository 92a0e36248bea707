// ba_msg: message catalogs.
//
// Turns message and error numbers into the installation-language texts of the binary
// catalogs <home>/msg/<lang>/<catalog>.msc, and keeps the memory-resident table that serves
// the numbers of 5000 and above.
//
// Entry points: ba_msgtext, ba_getmsg (lookup), ba_msgload, ba_msgfree (memory-resident
// table), ba_msgformat (a catalog text used safely as a format).
//
// Invariants:
//  (1) A catalog file is untrusted input: every read of the file image is bounded by the
//      image's length, whatever its count and text offsets claim.
//  (2) Texts handed out from a catalog, and every diagnostic, fit the 101-byte result buffers:
//      longer ones are cut at 100 bytes.
//  (3) Each lookup reads the whole catalog afresh; the file is closed and its image released
//      on every path before the lookup returns.
//  (4) A catalog text reaches printf only after it is known to hold no conversion other than
//      "%s" then "%d" (and "%%").
//
// See also: ba_mem (the allocator of the file image and the table copies), ba_conf (the
// configuration errors printed through ba_msgformat), tools/tolvmsgc.cc (the catalog compiler).
#include "ba/ba_msg.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ba/ba_mem.h"
#include "ba/ba_sys.h"
#include "ba/globals.h"

namespace {

constexpr int MSG_TEXTMAX = MSG_TEXTLEN - 1;  // longest text kept: 100 bytes
constexpr int MSG_RESIDENT = 5000;            // first number of the memory-resident table
constexpr int MSG_PATHLEN = 4096;             // room for a catalog path
constexpr const char MSG_DEFLANG[] = "geriso";

// The catalog of each number range; numbers outside every range have no catalog.
struct msgrange {
  int lo, hi;
  const char *name;
};
constexpr msgrange msg_ranges[] = {
    {1, 4999, "sqlmsg"},           {-4999, -1, "sqlerr"},       {-8999, -5000, "aderr"},
    {-9498, -9000, "tpcerr"},      {-9999, -9499, "ttoolerr"},  {-10998, -10000, "tolvxerr"},
    {-12498, -12000, "tdcerr"},    {-15998, -15000, "tolvplcerr"},
    {-16998, -16000, "tolvplerr"},
};

// One entry of the memory-resident table: the number and an owned copy of its text.
struct msgentry {
  int msgno;
  char *text;
};
msgentry msg_table[MSG_TABLEMAX];
int msg_count;

// Result buffers: the text read from a catalog, and the diagnostic texts.
char msg_textbuf[MSG_TEXTLEN];
char msg_diagbuf[MSG_TEXTLEN];

// ---- Diagnostics -------------------------------------------------------------------------

// Formats a diagnostic into the diagnostic buffer. A diagnostic longer than 100 characters
// is cut at 100, even when that drops its final newline: the path is the only long part, and
// its beginning is what identifies the file.
__attribute__((format(printf, 1, 2))) const char *msg_diag(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg_diagbuf, sizeof msg_diagbuf, fmt, ap);
  va_end(ap);
  return msg_diagbuf;
}

const char *msg_notfound(int msgno) { return msg_diag("Message %d not found", msgno); }

// ---- Paths -------------------------------------------------------------------------------

// TOLVLANG at the moment of the call. An empty value counts as unset: it would name the
// msg directory itself instead of a language directory.
const char *msg_lang() {
  const char *lang = getenv("TOLVLANG");
  return lang != nullptr && *lang != '\0' ? lang : MSG_DEFLANG;
}

FILE *msg_open(const char *path, bool fits) { return fits ? fopen(path, "r") : nullptr; }

const msgrange *msg_rangeof(int msgno) {
  for (const msgrange &r : msg_ranges)
    if (msgno >= r.lo && msgno <= r.hi) return &r;
  return nullptr;
}

// ---- The file image ----------------------------------------------------------------------

enum class readres { ok, seek, nomem, read };

// A whole catalog file in memory. Owns the open file and the image; both are given back when
// it goes out of scope, so every return path closes and releases (invariant 3).
struct msgimage {
  FILE *file = nullptr;
  unsigned char *data = nullptr;
  long len = 0;
  int err = 0;  // errno of a failed seek or read

  explicit msgimage(FILE *f) : file(f) {}
  ~msgimage() {
    if (data != nullptr) ba_release(data);
    if (file != nullptr) fclose(file);
  }
  msgimage(const msgimage &) = delete;
  msgimage &operator=(const msgimage &) = delete;

  // Seeks to the end for the length, rewinds, and reads the whole file into an allocated
  // image. A file too large for the allocator counts as no memory.
  readres load() {
    if (fseek(file, 0, SEEK_END) != 0 || (len = ftell(file)) < 0 || fseek(file, 0, SEEK_SET) != 0)
      return failed(readres::seek);
    if (len >= INT_MAX) return readres::nomem;
    data = static_cast<unsigned char *>(ba_alloc(len > 0 ? static_cast<int>(len) : 1));
    if (data == nullptr) return readres::nomem;
    errno = 0;
    if (static_cast<long>(fread(data, 1, len, file)) != len) return failed(readres::read);
    return readres::ok;
  }

  // Index entries that lie wholly inside the image: a count larger than the file, or a
  // negative one, never lets a scan read past the image (invariant 1).
  int entries() const {
    if (len < MSG_HEADERLEN) return 0;
    int count = be16(data);
    long fit = (len - MSG_HEADERLEN) / MSG_ENTRYLEN;
    if (count <= 0) return 0;
    return count < fit ? count : static_cast<int>(fit);
  }
  int msgno(int i) const { return be16(data + MSG_HEADERLEN + MSG_ENTRYLEN * i); }
  uint32_t textoff(int i) const { return be32(data + MSG_HEADERLEN + MSG_ENTRYLEN * i + 2); }

  int find(int no) const {
    int n = entries();
    for (int i = 0; i < n; i++)
      if (msgno(i) == no) return i;
    return -1;
  }

  // Copies the text of entry i into out (MSG_TEXTLEN bytes): up to its zero byte, the end of
  // the file or 100 bytes, whichever comes first, then a zero. An offset at or beyond the end
  // of the file points at no text: false.
  bool text(int i, char *out) const {
    uint32_t off = textoff(i);
    if (off >= static_cast<unsigned long>(len)) return false;
    long avail = len - static_cast<long>(off);
    size_t max = static_cast<size_t>(avail < MSG_TEXTMAX ? avail : MSG_TEXTMAX);
    const unsigned char *start = data + off;
    const void *zero = memchr(start, '\0', max);
    size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(zero) - start) : max;
    memcpy(out, start, n);
    out[n] = '\0';
    return true;
  }

 private:
  readres failed(readres r) {
    err = errno;
    return r;
  }
  static int be16(const unsigned char *p) { return static_cast<int16_t>(p[0] << 8 | p[1]); }
  static uint32_t be32(const unsigned char *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  }
};

// ---- Lookup ------------------------------------------------------------------------------

const char *msg_resident(int msgno) {
  for (int i = 0; i < msg_count; i++)
    if (msg_table[i].msgno == msgno) return msg_table[i].text;
  return msg_notfound(msgno);
}

const char *msg_fromfile(int msgno, const char *path, bool fits) {
  msgimage img(msg_open(path, fits));
  if (img.file == nullptr) return msg_diag("Error opening file %30s. errno = %d", path, errno);
  switch (img.load()) {
    case readres::ok:
      break;
    case readres::seek:
      return msg_diag("Unable to fseek file %s. errno = %d\n", path, img.err);
    case readres::nomem:
      return "malloc() error\n";
    case readres::read:
      return msg_diag("Unable to read file %s. errno = %d\n", path, img.err);
  }
  // The text is taken from the image already in memory instead of seeking in the file again:
  // the same bytes, with the bounds of the file known. An entry whose text lies outside the
  // file is as good as absent.
  int i = img.find(msgno);
  if (i < 0 || !img.text(i, msg_textbuf)) return msg_notfound(msgno);
  return msg_textbuf;
}

// ---- Memory-resident table ---------------------------------------------------------------

// Adds every entry of a loaded catalog to the table, in file order. Entries whose text lies
// outside the file are skipped, as the lookup would not find them either.
int msg_addall(const msgimage &img) {
  char text[MSG_TEXTLEN];
  int n = img.entries();
  for (int i = 0; i < n; i++) {
    if (!img.text(i, text)) continue;
    if (msg_count >= MSG_TABLEMAX) {
      fputs("Too many messages\n", stderr);
      return -1;
    }
    char *copy = ba_strdup(text);
    if (copy == nullptr) {
      fputs("Malloc-Error\n", stderr);
      return -2;
    }
    msg_table[msg_count++] = {img.msgno(i), copy};
  }
  return 0;
}

}  // namespace

const char *ba_msgtext(int msgno) { return ba_getmsg(msgno, ba_settings.home, msg_lang()); }

// A missing home or language (settings not loaded) is taken as empty and as the default
// language; the lookup then fails to open the catalog and says so.
const char *ba_getmsg(int msgno, const char *home, const char *lang) {
  if (msgno == 0) return "";
  if (msgno >= MSG_RESIDENT) return msg_resident(msgno);
  const msgrange *r = msg_rangeof(msgno);
  if (r == nullptr) return msg_notfound(msgno);
  char path[MSG_PATHLEN];
  bool fits = ba_pathfmt(path, MSG_PATHLEN, "%s/msg/%s/%s.msc", home != nullptr ? home : "",
                       lang != nullptr ? lang : MSG_DEFLANG, r->name);
  return msg_fromfile(msgno, path, fits);
}

int ba_msgload(const char *name, const char *dir) {
  char path[MSG_PATHLEN];
  bool fits = dir != nullptr ? ba_pathfmt(path, MSG_PATHLEN, "%s/%s.msc", dir, name)
                             : ba_pathfmt(path, MSG_PATHLEN, "%s/msg/%s/%s.msc",
                                        ba_settings.home != nullptr ? ba_settings.home : "",
                                        msg_lang(), name);
  msgimage img(msg_open(path, fits));
  if (img.file == nullptr) {
    fprintf(stderr, "Cannot open message file %s\n", path);
    return -1;
  }
  switch (img.load()) {
    case readres::ok:
      return msg_addall(img);
    case readres::seek:
      fprintf(stderr, "Unable to fseek file %s. errno = %d\n", path, img.err);
      return -1;
    case readres::nomem:
      fputs("Malloc() error\n", stderr);
      return -1;
    case readres::read:
      fprintf(stderr, "Unable to read file %s. errno = %d\n", path, img.err);
      return -1;
  }
  return -1;
}

void ba_msgfree() {
  for (int i = 0; i < msg_count; i++) {
    ba_release(msg_table[i].text);
    msg_table[i] = {0, nullptr};
  }
  msg_count = 0;
}

// ---- Catalog texts as formats ------------------------------------------------------------

namespace {

// True when the conversions of text, in order, are a prefix of "%s" then "%d", with "%%"
// allowed anywhere. Flags, widths, precisions and length modifiers are refused along with
// every other conversion: none of them is needed, and each could be abused ("%99999s").
bool msg_fmtok(const char *text) {
  static constexpr char expected[] = {'s', 'd'};
  size_t next = 0;
  for (const char *p = strchr(text, '%'); p != nullptr; p = strchr(p + 2, '%')) {
    if (p[1] == '%') continue;
    if (next == sizeof expected || p[1] != expected[next]) return false;
    next++;
  }
  return true;
}

}  // namespace

// A text that fails the check is written as it stands, then a blank and the detail (when
// there is one), so that the reader still sees what went wrong.
int ba_msgformat(FILE *out, const char *text, const char *detail, int err) {
  if (detail == nullptr) detail = "";
  if (!msg_fmtok(text)) return fprintf(out, *detail != '\0' ? "%s %s" : "%s%s", text, detail);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  return fprintf(out, text, detail, err);  // checked by msg_fmtok above
#pragma GCC diagnostic pop
}
