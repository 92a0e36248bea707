// srv_table: the stand-in's tables (srv_table.h): create, show, insert, dump, and the free page
// counts.
//
// Every change is one update action (bm_startea .. bm_endea with a small log record); a step
// that fails aborts it, so the local images put the map, bitmap and table pages back and the
// action's extent is returned. Reads run in a read action holding the table's lock.
//
// See also: srv_table.h (layout), bm/bm_table.h, bm/bm_shm.h, flush/ad_dump.h.
#include "tools/srv_table.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ba/ba_byteorder.h"
#include "ba/ba_date.h"
#include "ba/ba_dec.h"
#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_globals.h"
#include "bm/bm_logrec.h"
#include "bm/bm_main.h"
#include "bm/bm_shm.h"
#include "bm/bm_user.h"
#include "flush/ad_dump.h"
#include "tools/srv_create.h"
#include "tools/srv_log.h"

namespace {

constexpr int32_t kRootType = PT_TABROOT | 1;
constexpr int32_t kDataType = 1;
constexpr int kReserved = 2;             // pages r+1 and r+2
constexpr int kRowCount = PH_DATA;       // big-endian i32 on a data page
constexpr int kRows = PH_DATA + 4;
constexpr int kRecType = 2;              // the log record of a table action
constexpr int kRecLen = LR_HEADLEN + 8 + LR_TRAILLEN;  // table id, page

// Root page fields (data offsets).
constexpr int kNCols = 0x08;
constexpr int kNext2 = 0x32;
constexpr int kTabId = 0x3c;
constexpr int kName = 0x68;

constexpr int8_t kCycle[] = {T_INT, T_CHAR, T_DECIMAL, T_DATE, T_SHORT};

int colpages(int ncols) { return (ncols + TB_COLSPERPAGE - 1) / TB_COLSPERPAGE; }
int stored_len(const coldesc &c) {
  return c.type == T_DECIMAL ? ad_packlen(c.length, c.scale) : c.length;
}
// A row length read from a damaged column description may be 0: no row fits then.
int rows_per_page(int rowlen) { return rowlen > 0 ? (PH_BISEQ2 - kRows) / rowlen : 0; }

std::vector<coldesc> columns(int ncols) {
  std::vector<coldesc> cols;
  for (int i = 0, at = 0; i < ncols; i++) {
    cols.push_back(srv_column(i, at));
    at += stored_len(cols.back());
  }
  return cols;
}

// Ends the own update action with the record of table t and page p.
logpos *end_action(int32_t t, int32_t p, tabdesc *td) {
  std::vector<unsigned char> r = srv_logrecord(kRecLen, bm_sessno(), kRecType);
  pg_setword(r.data(), LR_HEADLEN, t);
  pg_setword(r.data(), LR_HEADLEN + 4, p);
  return bm_endea(kRecLen, r.data(), td);
}

// ---- Create -------------------------------------------------------------------------------------

// Fixes page p of a new table for update, its data cleared, of page type type.
pagebuf *new_page(int32_t p, int32_t type) {
  pagebuf *b = bm_getpage(p, ST_NEW | ST_UPDATE, nullptr);
  if (b == nullptr) return nullptr;
  memset(b->page + PH_DATA, 0, PH_BISEQ2 - PH_DATA);
  pg_setword(b->page, PH_PAGETYPE, type);
  return b;
}

bool write_root(int32_t root, int n, int32_t t, const char *name, int ncols) {
  pagebuf *b = new_page(root, kRootType);
  if (b == nullptr) return false;
  unsigned char *d = b->page + PH_DATA;
  ba_putbe16(d + kNCols, ncols);
  ba_putbe32(d + kTabId, t);
  ba_putbe32(d + kNext2, 1);
  ba_putbe32(d + TB_EXT2, root);
  ba_putbe16(d + TB_EXT2 + 4, n);
  memcpy(d + kName, name, strnlen(name, TB_NAMELEN));  // no NUL: the field is padded with zeros
  bm_unfix(b);
  return true;
}

bool write_columns(int32_t root, const std::vector<coldesc> &cols) {
  for (int k = 0; k < colpages(static_cast<int>(cols.size())); k++) {
    pagebuf *b = new_page(root + TB_COLPAGE + k, kDataType);
    if (b == nullptr) return false;
    for (int j = 0; j < TB_COLSPERPAGE && k * TB_COLSPERPAGE + j < static_cast<int>(cols.size()); j++) {
      const coldesc &c = cols[static_cast<size_t>(k) * TB_COLSPERPAGE + static_cast<size_t>(j)];
      unsigned char *e = b->page + PH_DATA + TB_COLLEN * j;
      ba_putbe16(e, c.offset);
      ba_putbe16(e + 2, c.length);
      e[5] = static_cast<unsigned char>(c.scale);
      e[6] = static_cast<unsigned char>(c.type);
    }
    bm_unfix(b);
  }
  return true;
}

bool write_data(int32_t first) {
  for (int32_t p = first; p < first + SRV_DATAPAGES; p++) {
    pagebuf *b = new_page(p, kDataType);
    if (b == nullptr) return false;
    bm_unfix(b);
  }
  return true;
}

// ---- Rows ---------------------------------------------------------------------------------------

// The open table t with its root page and column descriptors; closed by the destructor.
class open_table {
 public:
  explicit open_table(int32_t t) : td_(bm_opentable(t, nullptr, 0, 0, -1)) {
    if (td_ == nullptr) return;
    root_ = bm_maptabid(t >> PN_SPACESHIFT, 0, t, TM_LOOKUP);
    cols_.resize(static_cast<size_t>(td_->td_ncols));
    if (root_ < 0 || bm_readcoldesc(root_, cols_.data(), td_->td_ncols) != 0) root_ = -1;
  }
  ~open_table() {
    if (td_ != nullptr) bm_close(td_);
  }
  open_table(const open_table &) = delete;
  open_table &operator=(const open_table &) = delete;

  bool ok() const { return td_ != nullptr && root_ >= 0; }
  tabdesc *td() const { return td_; }
  int32_t root() const { return root_; }
  const std::vector<coldesc> &cols() const { return cols_; }
  int32_t first_data() const { return root_ + 1 + kReserved + colpages(td_->td_ncols); }

 private:
  tabdesc *td_;
  int32_t root_ = -1;
  std::vector<coldesc> cols_;
};

bool whole_number(const std::string &text, long lo, long hi, long *v) {
  char *end = nullptr;
  errno = 0;
  *v = strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && errno == 0 && *v >= lo && *v <= hi;
}

// Stores text as the value of column c at at; false when it is no value of the column's type.
bool store_value(const coldesc &c, const std::string &text, unsigned char *at) {
  long v = 0;
  ba_decimal d;
  switch (c.type) {
    case T_INT:
      if (!whole_number(text, -INT32_MAX, INT32_MAX, &v)) return false;
      ba_putbe32(at, static_cast<int32_t>(v));
      return true;
    case T_SHORT:
      if (!whole_number(text, -INT16_MAX, INT16_MAX, &v)) return false;
      ba_putbe16(at, static_cast<int>(v));
      return true;
    case T_CHAR:
      if (text.size() > static_cast<size_t>(c.length)) return false;
      ad_padcpy(text.c_str(), reinterpret_cast<char *>(at), c.length);
      return true;
    case T_DECIMAL:
      return ba_str2dec(text.c_str(), static_cast<int>(text.size()), &d) == 0 &&
             ad_packdec(&d, c.length, c.scale, at) == 0;
    case T_DATE:
      v = ba_str2date(text.c_str());
      if (v == DATE_NULL) return false;
      ba_putbe32(at, static_cast<int32_t>(v));
      return true;
    default:
      return false;
  }
}

const char *type_name(const coldesc &c) {
  switch (c.type) {
    case T_INT: return "an integer";
    case T_SHORT: return "a small integer";
    case T_CHAR: return "characters (at most the column's length)";
    case T_DECIMAL: return "a decimal of the column's precision and scale";
    case T_DATE: return "a date";
    default: return "a value this stand-in writes";
  }
}

bool build_row(const std::vector<coldesc> &cols, const std::vector<std::string> &values,
               std::vector<unsigned char> *row, std::string *why) {
  row->assign(static_cast<size_t>(srv_rowlen(cols)), 0);
  for (size_t i = 0; i < cols.size(); i++)
    if (!store_value(cols[i], values[i], row->data() + cols[i].offset)) {
      srv_explain(why, "column %zu: \"%s\" is not %s", i + 1, values[i].c_str(),
                  type_name(cols[i]));
      return false;
    }
  return true;
}

// Appends row to the first data page of tbl with room. The page it went to, or -1 with
// iserrno (0 when every data page is full). REQUIRES: an update action.
int32_t append_row(const open_table &tbl, const std::vector<unsigned char> &row) {
  int len = static_cast<int>(row.size());
  for (int32_t p = tbl.first_data(); p < tbl.first_data() + SRV_DATAPAGES; p++) {
    pagebuf *b = bm_getpage(p, ST_UPDATE, nullptr);
    if (b == nullptr) return -1;
    int32_t n = ba_getbe32(b->page + kRowCount);
    bool room = n >= 0 && n < rows_per_page(len);
    if (room) {
      memcpy(b->page + kRows + n * len, row.data(), row.size());
      ba_putbe32(b->page + kRowCount, n + 1);
    }
    bm_unfix(b);
    if (room) return p;
  }
  iserrno = 0;
  return -1;
}

// Prints the rows of data page p. False with iserrno when the page cannot be read.
bool dump_page(FILE *out, const open_table &tbl, int32_t p, int delim) {
  pagebuf *b = bm_getpage(p, 0, nullptr);
  if (b == nullptr) return false;
  int len = srv_rowlen(tbl.cols());
  int32_t n = std::min(ba_getbe32(b->page + kRowCount), rows_per_page(len));
  for (int32_t i = 0; i < n; i++)
    ad_dumprow(tbl.td(), b->page + kRows + i * len, delim, out, tbl.cols().data(), 0);
  bm_unfix(b);
  return true;
}

}  // namespace

coldesc srv_column(int i, int offset) {
  coldesc c{kCycle[i % std::size(kCycle)], 0, 0, static_cast<int16_t>(offset), 0};
  switch (c.type) {
    case T_INT: c.length = 4; break;
    case T_SHORT: c.length = 2; break;
    case T_DATE: c.length = 4; break;
    case T_CHAR: c.length = SRV_CHARLEN; break;
    case T_DECIMAL:
      c.length = SRV_DECPREC;
      c.scale = SRV_DECSCALE;
      break;
  }
  return c;
}

int srv_rowlen(const std::vector<coldesc> &cols) {
  int n = 0;
  for (const coldesc &c : cols) n += stored_len(c);
  return n;
}

int srv_tablecreate(const char *name, int ncols, int32_t *tabid, std::string *why) {
  if (ncols < 1 || ncols > SRV_MAXCOLS) {
    srv_explain(why, "bad column count %d: a number in 1 .. %d", ncols, SRV_MAXCOLS);
    return SRV_BADGEOMETRY;
  }
  size_t len = strlen(name);
  if (len == 0 || len > TB_NAMELEN) {
    srv_explain(why, "bad table name \"%s\": 1 to %d bytes", name, TB_NAMELEN);
    return SRV_BADGEOMETRY;
  }
  std::vector<coldesc> cols = columns(ncols);
  if (rows_per_page(srv_rowlen(cols)) < 1) {
    srv_explain(why, "%d columns make a row longer than a data page", ncols);
    return SRV_BADGEOMETRY;
  }
  int n = 1 + kReserved + colpages(ncols) + SRV_DATAPAGES;
  if (bm_startea(nullptr, 0, EA_UPDATE) != 0) return srv_refused(why, "action start");
  int32_t root = bm_allocext(0, n);
  if (root < 0) return srv_aborted(why, "no extent of " + std::to_string(n) + " pages");
  bm_newextent(root, n);
  int32_t t = bm_maptabid(0, root, -1, TM_ASSIGN | TM_MARKED);
  if (t < 0) return srv_aborted(why, "table map");
  if (!write_root(root, n, t, name, ncols) || !write_columns(root, cols) ||
      !write_data(root + 1 + kReserved + colpages(ncols)))
    return srv_aborted(why, "page request");
  if (end_action(t, root, nullptr) == nullptr) return srv_aborted(why, "action end");
  *tabid = t;
  return SRV_OK;
}

int srv_tableshow(FILE *out, int32_t tabid, std::string *why) {
  open_table tbl(tabid);
  if (!tbl.ok()) return srv_refused(why, "table " + std::to_string(tabid));
  const tabdesc *td = tbl.td();
  fprintf(out, "table %d \"%s\": root page %d, %d columns, %d keys, row length %d\n",
          td->td_tabid, td->td_name, tbl.root(), td->td_ncols, td->td_nkeys,
          srv_rowlen(tbl.cols()));
  for (int i = 0; i < td->td_ncols; i++) {
    const coldesc &c = tbl.cols()[static_cast<size_t>(i)];
    fprintf(out, "column %d: type %d length %d scale %d offset %d\n", i + 1, c.type, c.length,
            c.scale, c.offset);
  }
  return SRV_OK;
}

int srv_tableinsert(int32_t tabid, const std::vector<std::string> &values, std::string *why) {
  open_table tbl(tabid);
  if (!tbl.ok()) return srv_refused(why, "table " + std::to_string(tabid));
  if (values.size() != tbl.cols().size()) {
    srv_explain(why, "table %d has %zu columns, %zu values given", tabid, tbl.cols().size(),
                values.size());
    return SRV_BADGEOMETRY;
  }
  std::vector<unsigned char> row;
  if (!build_row(tbl.cols(), values, &row, why)) return SRV_BADGEOMETRY;
  if (bm_startea(tbl.td(), 0, EA_UPDATE) != 0) return srv_refused(why, "action start");
  int32_t p = append_row(tbl, row);
  if (p < 0 && iserrno == 0) {
    bm_abortea(bm_myslot);
    srv_explain(why, "table %d is full (%d data pages)", tabid, SRV_DATAPAGES);
    return SRV_BADGEOMETRY;
  }
  if (p < 0) return srv_aborted(why, "page request");
  if (end_action(tabid, p, tbl.td()) == nullptr) return srv_aborted(why, "action end");
  return SRV_OK;
}

int srv_tabledump(FILE *out, int32_t tabid, int delim, std::string *why) {
  open_table tbl(tabid);
  if (!tbl.ok()) return srv_refused(why, "table " + std::to_string(tabid));
  if (bm_startea(tbl.td(), 0, EA_READ) != 0) return srv_refused(why, "action start");
  for (int32_t p = tbl.first_data(); p < tbl.first_data() + SRV_DATAPAGES; p++)
    if (!dump_page(out, tbl, p, delim)) return srv_aborted(why, "page request");
  bm_endea(0, nullptr, tbl.td());
  return SRV_OK;
}

int srv_freepages(FILE *out, std::string *why) {
  for (int d = 0; d < bm_dbs->ndbspaces; d++) {
    const dbspace &s = bm_dbs->dbspaces[d];
    int n = bm_freecount(d);
    if (n < 0) return srv_refused(why, std::string("dbspace ") + s.name);
    fprintf(out, "dbspace %s: %d free of %d pages\n", s.name, n, s.npages);
  }
  return SRV_OK;
}
