// bm_tabload: loading a table descriptor from the table's root page and column-descriptor
// pages, and the key descriptors built from them.
//
// Principal entry points: bm_mytabdata, bm_keycols, bm_readcoldesc, bm_keylen.
//
// Root page fields (data offsets; big-endian) and the descriptor fields they are loaded into:
//   0x00 td_r00  0x04 td_r04  0x08 i16 td_ncols  0x0a td_r0a  0x0e td_r0e  0x22 td_r22
//   0x26 td_r26  0x2a td_r2a  0x2e td_next1  0x32 td_next2  0x36 td_flags  0x3c td_tabid
//   0x44 td_r44  0x48 td_r48  0x50 td_r50  0x58 td_r58 (0 loaded as 1)  0x5c td_ident1
//   0x60 td_ident2  0x64 td_r64  0x68 td_name (18 bytes)
//
// Invariants:
//  (1) Nothing read from disk indexes memory unchecked: column and extent counts, key column
//      numbers and the numbers of special columns are checked against the arrays they index
//      before use; a page out of range makes the load fail with ER_NOROOT.
//  (2) td_loboffs and td_keyuse hold TD_MAXSPECIAL entries. Decision: a table with more
//      large-object columns, or with a key on a type-12 column past the TD_MAXSPECIAL-th, is
//      refused (ER_NOROOT, logged) rather than described incompletely: a capped list would let
//      the server treat a large-object column as plain bytes.
//
// See also: bm_table.h (formats), bm_table.cc (bm_opentable calls the loader under tabsem).
#include <cstdlib>
#include <cstring>

#include "ba/ba_byteorder.h"
#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_main.h"
#include "bm/bm_mem.h"
#include "bm/bm_table.h"

namespace {

constexpr int kTypeChar12 = 12;  // characters kept elsewhere in the row
constexpr int kTypeLob1 = -3;    // large objects
constexpr int kTypeLob2 = -4;
constexpr int kTypeDec1 = 3;     // packed decimals
constexpr int kTypeDec2 = -1;
constexpr int kTypeDate = 9;     // stored codes 20 .. 29
constexpr int kTypeInterval = 10;  // stored codes 30 and up
constexpr int kCodeDate = 20;
constexpr int kCodeInterval = 30;
constexpr int kTypeLimit = 20;   // a split type outside -20 .. 20 is reported

int32_t be32(const unsigned char *p) { return ba_getbe32(p); }
int16_t be16(const unsigned char *p) { return ba_getbe16(p); }

bool is_lob(int type) { return type == kTypeLob1 || type == kTypeLob2; }

void load_fields(tabdesc *td, const unsigned char *d) {
  td->td_r00 = be32(d + 0x00);
  td->td_r04 = be32(d + 0x04);
  td->td_ncols = be16(d + 0x08);
  td->td_r0a = be32(d + 0x0a);
  td->td_r0e = be32(d + 0x0e);
  td->td_r22 = be32(d + 0x22);
  td->td_r26 = be32(d + 0x26);
  td->td_r2a = be32(d + 0x2a);
  td->td_next1 = be32(d + 0x2e);
  td->td_next2 = be32(d + 0x32);
  td->td_flags = be32(d + 0x36);
  td->td_tabid = be32(d + 0x3c);
  td->td_r44 = be32(d + 0x44);
  td->td_r48 = be32(d + 0x48);
  td->td_r50 = be32(d + 0x50);
  td->td_r58 = be32(d + 0x58);
  td->td_ident1 = be32(d + 0x5c);
  td->td_ident2 = be32(d + 0x60);
  td->td_r64 = be32(d + 0x64);
  td->td_value = -2;
  memset(td->td_name, 0, sizeof td->td_name);
  memcpy(td->td_name, d + 0x68, TB_NAMELEN);
  td->td_name[strnlen(td->td_name, TB_NAMELEN)] = '\0';
}

void reset_use(tabuse *u) {
  u->tu_open = 0;
  for (int i = 0; i < bm_dbs->nusers; i++) {
    u->tu_pids[i] = -1;
    u->tu_counts[i] = 0;
  }
}

int corrupt(const tabdesc *td, const char *what, int value) {
  bm_logerr("bm_mytabdata: table %d: %s %d\n", td->td_tabid, what, value);
  iserrno = ER_NOROOT;
  return -1;
}

// A TD_MAXSPECIAL-entry i16 array of the descriptor, allocated on first need.
int16_t *special(shmptr<int16_t> *p) {
  if (*p == nullptr) *p = static_cast<int16_t *>(bm_malloc(TD_MAXSPECIAL * sizeof(int16_t)));
  return *p;
}

// Counts the type-12 columns and records the large-object column offsets.
int scan_columns(tabdesc *td, const coldesc *cd) {
  td->td_nchar12 = 0;
  td->td_nlob = 0;
  for (int i = 0; i < td->td_ncols; i++) {
    if (cd[i].type == kTypeChar12) td->td_nchar12++;
    if (!is_lob(cd[i].type)) continue;
    if (td->td_nlob >= TD_MAXSPECIAL) return corrupt(td, "large-object columns above", TD_MAXSPECIAL);
    int16_t *offs = special(&td->td_loboffs);
    if (offs == nullptr) return -1;
    offs[td->td_nlob++] = cd[i].offset;
  }
  return 0;
}

// Position of type-12 column col among the type-12 columns.
int char12_position(const coldesc *cd, int col) {
  int n = 0;
  for (int i = 0; i < col; i++)
    if (cd[i].type == kTypeChar12) n++;
  return n;
}

// Builds key k from its description at key on the root page, or leaves it absent.
int load_key(tabdesc *td, const unsigned char *key, const coldesc *cd, int k) {
  if (td->td_key[k] != nullptr) {
    bm_logerr("bm_mytabdata: key set 0x%08x\n", td->td_key[k].addr());
    bm_free(td->td_key[k].get());
    td->td_key[k] = nullptr;
  }
  if (be16(key) == 0) return 0;
  auto *kd = static_cast<keydesc *>(bm_malloc(sizeof(keydesc)));
  if (kd == nullptr) return -1;
  td->td_key[k] = kd;
  for (int j = 0; j < KD_MAXPARTS; j++) {
    int16_t colno = be16(key + 2 * j);
    if (colno == 0) break;
    int col = std::abs(colno) - 1;
    if (col >= td->td_ncols) return corrupt(td, "key column", colno);
    kd->kd_parts[kd->kd_ncols++].kp_colno = colno;
    if (cd[col].type != kTypeChar12) continue;
    int pos = char12_position(cd, col);
    if (pos >= TD_MAXSPECIAL) return corrupt(td, "key on character column", colno);
    int16_t *use = special(&td->td_keyuse);
    if (use == nullptr) return -1;
    use[pos]++;
  }
  kd->kd_attr = be16(key + TB_KEYATTR);
  kd->kd_value = be32(key + TB_KEYVALUE);
  td->td_nkeys++;
  bm_keycols(td, kd, cd, k);
  return 0;
}

// Extent list of n entries from the root page at list, or null for none.
int load_extents(shmptr<tabext> *dst, const unsigned char *list, int n) {
  if (n == 0) return 0;
  auto *e = static_cast<tabext *>(bm_malloc(n * static_cast<int>(sizeof(tabext))));
  if (e == nullptr) return -1;
  for (int i = 0; i < n; i++) {
    e[i].te_page = be32(list + TB_EXTLEN * i);
    e[i].te_count = static_cast<uint16_t>(be16(list + TB_EXTLEN * i + 4));
  }
  *dst = e;
  return 0;
}

// Steps 3 to 5 of the load, with the column descriptors at hand.
int load_described(tabdesc *td, const unsigned char *d, const coldesc *cd) {
  if (scan_columns(td, cd) != 0) return -1;
  td->td_nkeys = 0;
  for (int k = 0; k < TD_MAXKEYS; k++)
    if (load_key(td, d + TB_KEYS + TB_KEYLEN * k, cd, k) != 0) return -1;
  if (load_extents(&td->td_ext1, d + TB_EXT1, td->td_next1) != 0 ||
      load_extents(&td->td_ext2, d + TB_EXT2, td->td_next2) != 0)
    return -1;
  td->td_dbspace = td->td_next2 > 0
                       ? static_cast<int32_t>(static_cast<uint32_t>(td->td_ext2[0].te_page) >> PN_SPACESHIFT)
                       : 0;
  if (td->td_r58 == 0) td->td_r58 = 1;
  td->td_clr1 = 0;
  td->td_clr2 = 0;
  return 0;
}

}  // namespace

int bm_mytabdata(tabdesc *td, const unsigned char *data, const coldesc *cd, int32_t root) {
  load_fields(td, data);
  reset_use(td->td_use);
  td->td_nchar12 = td->td_nlob = 0;
  if (td->td_ncols < 0) return corrupt(td, "columns", td->td_ncols);
  if (td->td_next1 < 0 || td->td_next1 > TB_MAXEXT) return corrupt(td, "extents 1", td->td_next1);
  if (td->td_next2 < 0 || td->td_next2 > TB_MAXEXT) return corrupt(td, "extents 2", td->td_next2);
  if (cd != nullptr) return load_described(td, data, cd);
  auto *own = static_cast<coldesc *>(ba_alloc(td->td_ncols * static_cast<int>(sizeof(coldesc)) + 1));
  if (own == nullptr) {
    iserrno = ER_NOMEM;
    return -1;
  }
  int r = bm_readcoldesc(root, own, td->td_ncols);
  if (r == 0) r = load_described(td, data, own);
  ba_release(own);
  return r;
}

int bm_keylen(const coldesc &c) {
  if (c.type != kTypeDec1 && c.type != kTypeDec2) return c.length;
  int p = c.length, s = c.scale;
  return (p - s + 1) / 2 + (s + 1) / 2 + 1 + (s != 0 ? 1 : 0);
}

void bm_keycols(const tabdesc *td, keydesc *kd, const coldesc *cd, int k) {
  (void)td;
  (void)k;
  for (int j = 0; j < kd->kd_ncols; j++) {
    keypart &p = kd->kd_parts[j];
    const coldesc &c = cd[std::abs(p.kp_colno) - 1];
    p.kp_offset = c.offset;
    p.kp_length = static_cast<int16_t>(bm_keylen(c));
    p.kp_type = c.type;
    p.kp_subtype = c.subtype;
  }
}

int bm_readcoldesc(int32_t root, coldesc *cd, int n) {
  pagebuf *b = nullptr;
  for (int i = 0; i < n; i++) {
    if (i % TB_COLSPERPAGE == 0) {
      if (b != nullptr) bm_unfix(b);
      b = bm_getpage(root + TB_COLPAGE + i / TB_COLSPERPAGE, 0, nullptr);
      if (b == nullptr) return -1;
    }
    const unsigned char *e = b->page + PH_DATA + TB_COLLEN * (i % TB_COLSPERPAGE);
    int t = static_cast<int8_t>(e[6]);
    cd[i].offset = be16(e);
    cd[i].length = be16(e + 2);
    cd[i].scale = static_cast<int8_t>(e[5]);
    cd[i].subtype = 0;
    if (t >= kCodeInterval) {
      cd[i].subtype = static_cast<int8_t>(t - kCodeInterval);
      t = kTypeInterval;
    } else if (t >= kCodeDate) {
      cd[i].subtype = static_cast<int8_t>(t - kCodeDate);
      t = kTypeDate;
    }
    cd[i].type = static_cast<int8_t>(t);
    if (t < -kTypeLimit || t > kTypeLimit) bm_logerr("bm_readcoldesc: typ = %d\n", t);
  }
  if (b != nullptr) bm_unfix(b);
  return 0;
}
